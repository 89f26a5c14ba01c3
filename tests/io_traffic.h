// Reading the recorded SPI traffic as register operations: each exchange is
// the batch of (address, byte) pairs it wrote, and a read is an empty batch.
#ifndef KESTRIX_TESTS_IO_TRAFFIC_H
#define KESTRIX_TESTS_IO_TRAFFIC_H

#include "fake_spi.h"
#include "fixture.h"

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

// Watches one shared register while threads each change bits of their own.
// When every read-modify-write is kept whole, a write changes nothing but
// the writing thread's bits; a write built on a stale read also puts back
// another thread's bit as it was.
template <int Width>
class OwnBitsOnly : public kxsim::Behaviour
{
public:
    explicit OwnBitsOnly(int address) : m_address(address) {}

    // Each thread names its bits before its first write. The fake runs on
    // the thread that makes the exchange, so the claim is found there.
    static void claim(unsigned int bits) { ownBits() = bits; }

    void advance(kxsim::RegisterFile &registers) override { m_before = load(registers); }

    void written(kxsim::RegisterFile &registers, const std::bitset<kxsim::RegisterCount> &written) override
    {
        if (!written.test(static_cast<std::size_t>(m_address)))
            return;
        ++m_writes;
        if (((m_before ^ load(registers)) & ~ownBits()) != 0)
            ++m_foreign;
    }

    int writes() const { return m_writes; }
    // Writes that changed another thread's bits.
    int foreignWrites() const { return m_foreign; }

private:
    static unsigned int &ownBits()
    {
        thread_local unsigned int t_bits = 0;
        return t_bits;
    }

    unsigned int load(const kxsim::RegisterFile &registers) const
    {
        return Width == 16 ? registers.get16(m_address) : registers.get8(m_address);
    }

    int m_address;
    unsigned int m_before = 0;
    int m_writes = 0;
    int m_foreign = 0;
};

// FakeBoard::SetUp does not switch recording back on nor drop a watcher,
// and a test binary runs all its cases in one process.
class IoBoard : public FakeBoard
{
protected:
    void TearDown() override
    {
        spi().setBehaviour(nullptr);
        spi().setRecording(true);
        clock().setMode(kxsim::Clock::Mode::Real);
        FakeBoard::TearDown();
    }
};

} // namespace iotest

#endif
