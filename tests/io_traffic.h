// Reading the recorded SPI traffic as register operations: each exchange is
// the batch of (address, byte) pairs it wrote, and a read is an empty batch.
#ifndef KESTRIX_TESTS_IO_TRAFFIC_H
#define KESTRIX_TESTS_IO_TRAFFIC_H

#include "fake_spi.h"

#include <bitset>
#include <utility>
#include <vector>

namespace iotest {

using Batch = std::vector<std::pair<int, int>>;
using Traffic = std::vector<Batch>;

inline Batch batchOf(const kxsim::Exchange &exchange)
{
    Batch batch;
    for (int k = 0; k < exchange.out[3]; ++k)
        batch.emplace_back(exchange.out[4 + 2 * k], exchange.out[5 + 2 * k]);
    return batch;
}

inline Traffic traffic()
{
    Traffic result;
    for (const kxsim::Exchange &exchange : kxsim::FakeSpi::instance().exchanges())
        result.push_back(batchOf(exchange));
    return result;
}

inline Batch read()
{
    return {};
}

inline Batch write8(int address, unsigned int value)
{
    return {{address, static_cast<int>(value & 0xFF)}};
}

inline Batch write16(int address, unsigned int value)
{
    return {{address, static_cast<int>((value >> 8) & 0xFF)}, {address + 1, static_cast<int>(value & 0xFF)}};
}

// Watches one shared register while threads change single bits of it. When
// every read-modify-write is kept whole, each write of the register differs
// from what it held just before by exactly the caller's own bit; a write
// built on a stale read also undoes (or redoes) another thread's bit.
template <int Width>
class SingleBitWrites : public kxsim::Behaviour
{
public:
    explicit SingleBitWrites(int address) : m_address(address) {}

    void advance(kxsim::RegisterFile &registers) override { m_before = load(registers); }

    void written(kxsim::RegisterFile &registers, const std::bitset<kxsim::RegisterCount> &written) override
    {
        if (!written.test(static_cast<std::size_t>(m_address)))
            return;
        ++m_writes;
        if (std::bitset<32>(m_before ^ load(registers)).count() != 1)
            ++m_bad;
    }

    int writes() const { return m_writes; }
    int badWrites() const { return m_bad; }

private:
    unsigned int load(const kxsim::RegisterFile &registers) const
    {
        return Width == 16 ? registers.get16(m_address) : registers.get8(m_address);
    }

    int m_address;
    unsigned int m_before = 0;
    int m_writes = 0;
    int m_bad = 0;
};

} // namespace iotest

#endif
