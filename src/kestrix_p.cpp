#include "private/kestrix_p.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace Private {

namespace {

using Registers::StartMarker;
constexpr unsigned char Constant = 0x02;
constexpr unsigned char Trailer = 0x53; // 'S'

// The outbound packet: marker, constant, counter, number of write pairs, the
// pairs (address, value) from byte 4, zeros, trailer.
constexpr unsigned int CounterOffset = 2;
constexpr unsigned int PairCountOffset = 3;
constexpr unsigned int FirstPairOffset = 4;
constexpr useconds_t ExchangePauseUs = 50;

constexpr const char SpiPath[] = "/dev/spidev2.0";

// Errors that say the device itself is gone (unplugged, or its driver
// unbound: spidev then answers ESHUTDOWN), as opposed to one exchange that
// went wrong.
bool meansDeviceGone(int error)
{
    return error == ENODEV || error == ENXIO || error == ESHUTDOWN;
}

// The coprocessor needs 50 us after each exchange. With the kernel's default
// timer slack (50 us) usleep(50) lasts well over 100 us, so the first exchange
// on a thread sets that thread's timer slack to 1 ns. This is the one side
// effect on the caller: the thread's later sleeps end closer to their
// deadline too.
void tightenTimerSlack()
{
    thread_local bool tightened = false;
    if (!tightened) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        tightened = true;
    }
}

// The pause after an exchange. A signal can cut usleep short, and the
// coprocessor still needs its 50 us, so an interrupted pause is taken again in
// full (rare, and longer rather than shorter). Otherwise this is exactly one
// usleep(50).
void pauseAfterExchange()
{
    tightenTimerSlack();
    while (::usleep(ExchangePauseUs) != 0 && errno == EINTR) {
    }
}

} // namespace

Kestrix &Kestrix::instance()
{
    // The object itself is never destroyed: a thread that the program leaves
    // running at exit may still call in. The exit handler registered here,
    // when the instance comes to life, closes the device and frees the
    // buffers at the point where a static's destructor would have run.
    static Kestrix *const s_instance = [] {
        Kestrix *instance = new Kestrix();
        std::atexit(&Kestrix::shutdownAtExit);
        return instance;
    }();
    return *s_instance;
}

void Kestrix::shutdownAtExit()
{
    instance().shutdown();
}

Kestrix::Kestrix()
    : m_fd(-1)
    , m_out(new unsigned char[PacketLength])
    , m_in(new unsigned char[PacketLength])
    , m_length(PacketLength)
{
    m_fd = ::open(SpiPath, O_RDWR);
    // A descriptor of 0 is a valid descriptor (standard input may be closed);
    // only a negative result means the device is missing.
    if (m_fd < 0)
        std::cout << "Device not found: " << SpiPath << std::endl;
}

Kestrix::~Kestrix()
{
    shutdown();
}

void Kestrix::shutdown()
{
    // Waits for an exchange in progress on another thread; afterwards every
    // register operation sends nothing and reads give 0.
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    closeDevice();
    delete[] m_out;
    delete[] m_in;
    m_out = nullptr;
    m_in = nullptr;
}

void Kestrix::closeDevice()
{
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

bool Kestrix::isDeviceOpen() const
{
    return m_fd.load() >= 0;
}

std::unique_lock<std::recursive_mutex> Kestrix::updateLock()
{
    return std::unique_lock<std::recursive_mutex>(m_lock);
}

unsigned char Kestrix::readRegister8b(unsigned char address)
{
    return static_cast<unsigned char>(readBytes(address, 1).value);
}

unsigned short Kestrix::readRegister16b(unsigned char address)
{
    return static_cast<unsigned short>(readBytes(address, 2).value);
}

unsigned int Kestrix::readRegister32b(unsigned char address)
{
    return readBytes(address, 4).value;
}

void Kestrix::writeRegister8b(unsigned char address, unsigned char value)
{
    writeBytes(address, 1, value);
}

void Kestrix::writeRegister16b(unsigned char address, unsigned short value)
{
    writeBytes(address, 2, value);
}

void Kestrix::writeRegister32b(unsigned char address, unsigned int value)
{
    writeBytes(address, 4, value);
}

Kestrix::Reading Kestrix::read(Registers::Register reg)
{
    return readBytes(reg.address, reg.width);
}

short Kestrix::readSigned16(Registers::Register reg)
{
    return static_cast<short>(read(reg).value);
}

bool Kestrix::write(Registers::Register reg, unsigned int value)
{
    return writeBytes(reg.address, reg.width, value);
}

Kestrix::Reading Kestrix::readBytes(unsigned char address, unsigned int width)
{
    if (address + width - 1 > ReadWindowEnd)
        return {0, false};

    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_in == nullptr)
        return {0, false};
    clear_buffers();
    const bool ok = transfer();

    unsigned int value = 0;
    for (unsigned int k = 0; k < width; ++k)
        value = (value << 8) | m_in[address + k];
    return {value, ok};
}

bool Kestrix::writeBytes(unsigned char address, unsigned int width, unsigned int value)
{
    if (address + width - 1 > WriteWindowEnd)
        return false;

    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_out == nullptr)
        return false;
    clear_buffers();
    m_out[PairCountOffset] = static_cast<unsigned char>(width);
    for (unsigned int k = 0; k < width; ++k) {
        m_out[FirstPairOffset + 2 * k] = static_cast<unsigned char>(address + k);
        m_out[FirstPairOffset + 2 * k + 1] = static_cast<unsigned char>(value >> (8 * (width - 1 - k)));
    }
    return transfer();
}

void Kestrix::clear_buffers()
{
    std::memset(m_out, 0, m_length);
    std::memset(m_in, 0, m_length);
}

bool Kestrix::transfer()
{
    static std::uint8_t count = 0;

    if (m_fd < 0)
        return false;

    ++count;
    m_out[0] = StartMarker;
    m_out[1] = Constant;
    m_out[CounterOffset] = count;
    m_out[m_length - 1] = Trailer;

    struct spi_ioc_transfer exchange;
    std::memset(&exchange, 0, sizeof exchange);
    exchange.tx_buf = reinterpret_cast<std::uintptr_t>(m_out);
    exchange.rx_buf = reinterpret_cast<std::uintptr_t>(m_in);
    exchange.len = m_length;

    const int result = ::ioctl(m_fd, SPI_IOC_MESSAGE(1), &exchange);
    const int ioctlErrno = errno;

    pauseAfterExchange();

    // A device that has gone stays gone: one line, and from here on the
    // link is in the device-missing state (nothing sent, reads 0, bmd
    // returns) instead of reporting every later exchange.
    if (result < 0 && meansDeviceGone(ioctlErrno)) {
        std::cout << "Device lost: " << SpiPath << std::endl;
        closeDevice();
        return false;
    }

    if (m_in[Registers::inboundMarker.address] != StartMarker) {
        std::cerr << " Error: DMA de-synchronized" << std::endl;
        // Plain lower-case hexadecimal whatever the caller left set on
        // std::cerr; its own flags come back afterwards.
        const std::ios_base::fmtflags flags = std::cerr.flags();
        std::cerr.unsetf(std::ios_base::showbase | std::ios_base::uppercase);
        std::cerr.setf(std::ios_base::hex, std::ios_base::basefield);
        for (unsigned int i = 0; i < m_length; ++i)
            std::cerr << static_cast<unsigned int>(m_in[i]) << " ";
        std::cerr.flags(flags);
        std::cerr << std::endl;
        return false;
    }

    if (result < 0) {
        std::cerr << "Error (SPI_IOC_MESSAGE): " << std::strerror(ioctlErrno) << std::endl;
        return false;
    }

    return true;
}

} // namespace Private
