#ifndef KESTRIX_PRIVATE_KESTRIX_P_H
#define KESTRIX_PRIVATE_KESTRIX_P_H

#include "private/registers_p.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace Private {

// The only path to the coprocessor: one full-duplex 86-byte SPI exchange per
// register operation on /dev/spidev2.0.
//
// Reads reach registers 0-85 (the inbound snapshot), writes 0-148; an access
// whose last byte lies outside its window sends nothing (reads give 0).
//
// Exchanges are serialised by a lock inside the transport, so any thread may
// call the register operations. A driver that changes a field inside a shared
// register holds updateLock() across its read and its write so that no other
// thread's exchange lands between them; the read-modify-write is still two
// exchanges.
//
// Every exchange is followed by a pause of at least 50 us (one usleep(50),
// taken again if a signal cuts it short). So that the pause is not stretched
// to twice its length by the kernel's default timer slack, the first exchange
// on a thread sets that thread's timer slack to 1 ns (PR_SET_TIMERSLACK); the
// thread keeps it, so its other sleeps end closer to their deadlines too.
//
// An exchange that fails because the device is gone (ENODEV, ENXIO,
// ESHUTDOWN) prints "Device lost: /dev/spidev2.0" on standard output once and
// closes the device: from then on the link is in the device-missing state, as
// if the open had failed. Any other failure is reported for that exchange
// alone (standard error) and the next exchange is tried as usual.
//
// The instance is created by the first instance() call and never destroyed,
// so that threads still running at process exit can call it safely. At exit
// (when a static's destructor would run) it waits for an exchange in
// progress, closes the device and frees its buffers; a register operation
// after that sends nothing and reads give 0.
class Kestrix
{
public:
    static constexpr unsigned int PacketLength = Registers::PacketLength;
    static constexpr unsigned char ReadWindowEnd = Registers::ReadWindowEnd;
    static constexpr unsigned char WriteWindowEnd = Registers::WriteWindowEnd;

    // A register of the map read at its own width. `ok` is false when the
    // exchange failed (device missing or lost, wrong marker, failed ioctl) or
    // none took place (outside the read window); `value` is then what the
    // plain reads below return: the bytes as received, 0 without data.
    struct Reading
    {
        unsigned int value;
        bool ok;
    };

    static Kestrix &instance();
    virtual ~Kestrix();

    unsigned char readRegister8b(unsigned char address);
    unsigned short readRegister16b(unsigned char address);
    unsigned int readRegister32b(unsigned char address);

    void writeRegister8b(unsigned char address, unsigned char value);
    void writeRegister16b(unsigned char address, unsigned short value);
    void writeRegister32b(unsigned char address, unsigned int value);

    // The drivers' access: a register of the map at the width it has there.
    Reading read(Registers::Register reg);
    // A signed 16-bit register (the axes of the accelerometer, gyroscope and
    // magnetometer) as its value; 0 without data.
    short readSigned16(Registers::Register reg);
    // False when nothing reached the coprocessor.
    bool write(Registers::Register reg, unsigned int value);

    // Hold the returned guard across a read-modify-write of a shared register.
    std::unique_lock<std::recursive_mutex> updateLock();

    // False when /dev/spidev2.0 could not be opened or was lost: every read
    // then gives 0 and every write is lost, for the rest of the process.
    // Safe from any thread, also while the exit handler closes the device.
    bool isDeviceOpen() const;

    Kestrix(const Kestrix &) = delete;
    Kestrix &operator=(const Kestrix &) = delete;

private:
    Kestrix();
    static void shutdownAtExit();
    void shutdown();

    Reading readBytes(unsigned char address, unsigned int width);
    bool writeBytes(unsigned char address, unsigned int width, unsigned int value);
    bool transfer();
    void clear_buffers();
    void closeDevice();

    // Changed only under m_lock, but isDeviceOpen() looks without it (a
    // thread still polling in bmd while the exit handler closes the device).
    std::atomic<int> m_fd;
    unsigned char *m_out;
    unsigned char *m_in;
    std::uint32_t m_length;
    std::recursive_mutex m_lock;
};

} // namespace Private

#endif
