// A fake of the controller's coprocessor behind /dev/spidev2.0: a register
// file of 150 bytes that applies the write pairs of every outbound packet and
// answers every exchange with the start marker and registers 1 to 85.
//
// Tests drive it through FakeSpi::instance(): preset and read registers, read
// back every packet the library sent, change registers after the Nth exchange
// and inject faults. The simulator hangs a Behaviour on it to give the
// registers a life of their own between exchanges.
#ifndef KESTRIX_SIM_FAKE_SPI_H
#define KESTRIX_SIM_FAKE_SPI_H

#include "model/registers.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace kxsim {

constexpr unsigned long SpiMessage1 = 0x40206B00UL; // SPI_IOC_MESSAGE(1)

// One exchange as the fake saw it.
struct Exchange
{
    Packet out{};       // what the library sent
    Packet in{};        // what the fake answered (after fault injection)
    bool succeeded = true; // false when the ioctl was made to fail
};

class FakeSpi
{
public:
    static FakeSpi &instance();

    // Zeroes the registers, forgets the recorded traffic, scheduled changes,
    // faults and the behaviour, and records again. The descriptor the library holds stays valid, and whether
    // the device is missing is untouched (both last for the process).
    void reset();

    // Registers.
    void setRegister8(std::size_t address, std::uint8_t value);
    void setRegister16(std::size_t address, std::uint16_t value);
    void setRegister32(std::size_t address, std::uint32_t value);
    std::uint8_t register8(std::size_t address) const;
    std::uint16_t register16(std::size_t address) const;
    std::uint32_t register32(std::size_t address) const;
    RegisterFile registers() const;
    // Runs `change` on the register file under the fake's lock, between
    // exchanges (the simulator moves its model on this way while the program
    // sleeps).
    void update(const std::function<void(RegisterFile &)> &change);

    // Traffic since the last reset (recorded while recording is on).
    std::vector<Exchange> exchanges() const;
    std::size_t exchangeCount() const;
    void clearExchanges();
    void setRecording(bool on);

    // Runs `change` on the register file right after exchange number `n`
    // (counted from 1 since the last reset or clearExchanges) has been
    // answered, so that exchange n + 1 sees the change.
    void afterExchange(std::size_t n, std::function<void(RegisterFile &)> change);

    // Faults.
    // While set, opening /dev/spidev2.0 fails with ENOENT. Set it before the
    // library's first register call: the library opens the device only once.
    void setDeviceMissing(bool missing);
    // The next `count` answers start with `marker` instead of 0x4A.
    void injectBadMarker(std::uint8_t marker, std::size_t count = 1);
    // The next `count` ioctls fail with `error`. With `deliverData` the
    // exchange still happens (writes applied, snapshot delivered); without,
    // nothing is applied and the inbound buffer is left untouched.
    void injectIoctlFailure(int error, bool deliverData, std::size_t count = 1);
    // The device goes away (unplugged, driver unbound) after `after` more
    // exchanges: from then on every ioctl fails with `error` and delivers
    // nothing, until reset().
    void loseDevice(int error, std::size_t after = 0);

    // The simulator's model; null for a plain register file. Not owned.
    void setBehaviour(Behaviour *behaviour);

    // What the library did with the device file.
    int openCount() const;            // successful opens of /dev/spidev2.0
    int lastOpenFlags() const;
    int closeCount() const;

    // Called by the device file (the interposer); not for tests.
    int exchange(unsigned long request, void *argument);
    bool deviceMissing() const;
    void noteOpen(int flags);
    void noteClose();

private:
    FakeSpi() = default;

    mutable std::mutex m_lock;
    RegisterFile m_registers;
    std::vector<Exchange> m_exchanges;
    std::size_t m_exchangeCount = 0;
    bool m_recording = true;
    std::vector<std::pair<std::size_t, std::function<void(RegisterFile &)>>> m_changes;
    bool m_deviceMissing = false;
    std::uint8_t m_badMarker = 0;
    std::size_t m_badMarkerCount = 0;
    int m_ioctlError = 0;
    bool m_ioctlDeliversData = false;
    std::size_t m_ioctlFailureCount = 0;
    int m_lostError = 0;
    std::size_t m_exchangesBeforeLoss = 0;
    Behaviour *m_behaviour = nullptr;
    int m_openCount = 0;
    int m_lastOpenFlags = -1;
    int m_closeCount = 0;
};

} // namespace kxsim

#endif
