// The recorded SPI traffic as register operations, in the words of the port
// tests, and a watcher for threads sharing one register.
#ifndef KESTRIX_TESTS_IO_TRAFFIC_H
#define KESTRIX_TESTS_IO_TRAFFIC_H

#include "fakes/fake_spi.h"
#include "fixture.h"
#include "packets.h"

#include <bitset>
#include <vector>

namespace iotest {

// A read, or one write; an exchange is one of these.
using Batch = packets::Op;
using Traffic = std::vector<Batch>;

using packets::traffic;

inline Batch read()
{
    return packets::R;
}

inline Batch write8(int address, unsigned int value)
{
    return packets::W8(static_cast<unsigned>(address), value);
}

inline Batch write16(int address, unsigned int value)
{
    return packets::W16(static_cast<unsigned>(address), value);
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
