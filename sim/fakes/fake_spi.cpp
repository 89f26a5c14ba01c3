#include "fakes/fake_spi.h"

#include "fakes/fake_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/spi/spidev.h>

namespace kxsim {

namespace {

constexpr std::uint8_t StartMarker = 0x4A;
constexpr const char *SpiPath = "/dev/spidev2.0";

static_assert(SpiMessage1 == static_cast<unsigned long>(SPI_IOC_MESSAGE(1)),
              "the fake answers the request the library sends");

class SpiDeviceFile : public FakeDevice
{
public:
    bool claims(const char *path) const override { return std::strcmp(path, SpiPath) == 0; }

    int open(const char *, int flags) override
    {
        FakeSpi &spi = FakeSpi::instance();
        if (spi.deviceMissing()) {
            errno = ENOENT;
            return -1;
        }
        // A genuine descriptor, so that descriptor numbering (0 included)
        // behaves as it does with the real device.
        const int fd = realOpen("/dev/null", O_RDWR);
        if (fd >= 0)
            spi.noteOpen(flags);
        return fd;
    }

    int ioctl(int, unsigned long request, void *argument) override
    {
        return FakeSpi::instance().exchange(request, argument);
    }

    void closed(int) override { FakeSpi::instance().noteClose(); }
};

const Registered<SpiDeviceFile> s_spiDevice;

} // namespace

FakeSpi &FakeSpi::instance()
{
    // Never destroyed: the run's threads exchange with it while a program
    // exits.
    static FakeSpi &s_instance = *new FakeSpi;
    return s_instance;
}

void FakeSpi::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_registers = RegisterFile();
    m_exchanges.clear();
    m_exchangeCount = 0;
    m_changes.clear();
    m_badMarkerCount = 0;
    m_ioctlFailureCount = 0;
    m_lostError = 0;
    m_recording = true;
    m_behaviour = nullptr;
}

void FakeSpi::setRegister8(std::size_t address, std::uint8_t value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_registers.set8(address, value);
}

void FakeSpi::setRegister16(std::size_t address, std::uint16_t value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_registers.set16(address, value);
}

void FakeSpi::setRegister32(std::size_t address, std::uint32_t value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_registers.set32(address, value);
}

std::uint8_t FakeSpi::register8(std::size_t address) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registers.get8(address);
}

std::uint16_t FakeSpi::register16(std::size_t address) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registers.get16(address);
}

std::uint32_t FakeSpi::register32(std::size_t address) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registers.get32(address);
}

RegisterFile FakeSpi::registers() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registers;
}

void FakeSpi::update(const std::function<void(RegisterFile &)> &change)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_behaviour)
        m_behaviour->acquire(m_registers);
    change(m_registers);
    if (m_behaviour)
        m_behaviour->release(m_registers);
}

std::vector<Exchange> FakeSpi::exchanges() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_exchanges;
}

std::size_t FakeSpi::exchangeCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_exchangeCount;
}

void FakeSpi::clearExchanges()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_exchanges.clear();
    m_exchangeCount = 0;
}

void FakeSpi::setRecording(bool on)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_recording = on;
}

void FakeSpi::afterExchange(std::size_t n, std::function<void(RegisterFile &)> change)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_changes.emplace_back(n, std::move(change));
}

void FakeSpi::setDeviceMissing(bool missing)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_deviceMissing = missing;
}

void FakeSpi::injectBadMarker(std::uint8_t marker, std::size_t count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_badMarker = marker;
    m_badMarkerCount = count;
}

void FakeSpi::injectIoctlFailure(int error, bool deliverData, std::size_t count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_ioctlError = error;
    m_ioctlDeliversData = deliverData;
    m_ioctlFailureCount = count;
}

void FakeSpi::loseDevice(int error, std::size_t after)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lostError = error;
    m_exchangesBeforeLoss = after;
}

void FakeSpi::setBehaviour(Behaviour *behaviour)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour = behaviour;
}

int FakeSpi::openCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_openCount;
}

int FakeSpi::lastOpenFlags() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lastOpenFlags;
}

int FakeSpi::closeCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_closeCount;
}

bool FakeSpi::deviceMissing() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_deviceMissing;
}

void FakeSpi::noteOpen(int flags)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_openCount;
    m_lastOpenFlags = flags;
}

void FakeSpi::noteClose()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_closeCount;
}

int FakeSpi::exchange(unsigned long request, void *argument)
{
    if (request != SpiMessage1 || argument == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const auto *transfer = static_cast<const spi_ioc_transfer *>(argument);
    auto *out = reinterpret_cast<const std::uint8_t *>(static_cast<std::uintptr_t>(transfer->tx_buf));
    auto *in = reinterpret_cast<std::uint8_t *>(static_cast<std::uintptr_t>(transfer->rx_buf));
    const std::size_t length = transfer->len;
    if (out == nullptr || in == nullptr || length != PacketLength) {
        errno = EINVAL;
        return -1;
    }

    std::lock_guard<std::mutex> guard(m_lock);
    ++m_exchangeCount;
    Behaviour *const behaviour = m_behaviour;
    if (behaviour)
        behaviour->acquire(m_registers);

    Exchange record;
    std::copy(out, out + PacketLength, record.out.begin());

    bool fail = false;
    bool deliver = true;
    int error = 0;
    const bool lost = m_lostError != 0 && m_exchangesBeforeLoss == 0;
    if (m_lostError != 0 && m_exchangesBeforeLoss > 0)
        --m_exchangesBeforeLoss;
    if (lost) {
        fail = true;
        deliver = false;
        error = m_lostError;
    } else if (m_ioctlFailureCount > 0) {
        --m_ioctlFailureCount;
        fail = true;
        deliver = m_ioctlDeliversData;
        error = m_ioctlError;
    }

    if (deliver) {
        if (m_behaviour)
            m_behaviour->advance(m_registers);

        std::bitset<RegisterCount> written;
        const std::size_t pairs = std::min<std::size_t>(out[3], (PacketLength - 5) / 2);
        for (std::size_t k = 0; k < pairs; ++k) {
            const std::size_t address = out[4 + 2 * k];
            if (address < RegisterCount) {
                m_registers.bytes[address] = out[5 + 2 * k];
                written.set(address);
            }
        }
        if (m_behaviour && written.any())
            m_behaviour->written(m_registers, written);

        in[0] = StartMarker;
        std::copy(m_registers.bytes.begin() + 1, m_registers.bytes.begin() + PacketLength, in + 1);
        if (m_badMarkerCount > 0) {
            --m_badMarkerCount;
            in[0] = m_badMarker;
        }
    }

    std::copy(in, in + PacketLength, record.in.begin());
    record.succeeded = !fail;
    if (m_recording)
        m_exchanges.push_back(record);

    for (auto &change : m_changes)
        if (change.first == m_exchangeCount)
            change.second(m_registers);
    if (behaviour)
        behaviour->release(m_registers);

    if (fail) {
        errno = error;
        return -1;
    }
    return static_cast<int>(PacketLength);
}

} // namespace kxsim
