#include "kestrix/create.h"

#include "private/create_p.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace Private {

namespace {

enum Opcode : std::uint8_t {
    Start = 128,
    Safe = 131,
    Drive = 137,
    Sensors = 142,
    Stop = 173,
};

enum Packet : std::uint8_t {
    DistancePacket = 19,
    AnglePacket = 20,
    ModePacket = 35,
};

constexpr int MaxVelocity = 500;
constexpr int Straight = 32767;
constexpr int WriteTimeoutMs = 100;

std::int64_t monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for `events` on `fd` until `deadline`; false on a time-out or when
// the line went away.
bool waitFor(int fd, short events, std::int64_t deadline)
{
    for (;;) {
        const std::int64_t left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (p.revents & events)
            return true;
        return false; // POLLERR, POLLHUP or POLLNVAL without data
    }
}

void put16(std::vector<std::uint8_t> &bytes, int value)
{
    const auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

int clampToInt(std::int64_t value)
{
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

} // namespace

Create &Create::instance()
{
    static Create s_instance;
    return s_instance;
}

void Create::setDevicePath(const std::string &path)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_path = path;
}

std::string Create::devicePath() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_path;
}

bool Create::isConnected() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fd >= 0;
}

void Create::closeLine()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Create::connect()
{
    std::lock_guard<std::mutex> guard(m_lock);
    closeLine();
    m_distance = 0;
    m_angle = 0;

    // Non-blocking so that a line nobody answers can never hold a call.
    const int fd = ::open(m_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    m_fd = fd;

    // The base answers nothing before Start; its mode proves it is there.
    std::uint8_t mode = 0;
    if (!send({Start, Sensors, ModePacket}) || !receive(&mode, 1, ConnectTimeoutMs)) {
        closeLine();
        return false;
    }
    return true;
}

void Create::disconnect()
{
    std::lock_guard<std::mutex> guard(m_lock);
    closeLine();
    m_distance = 0;
    m_angle = 0;
}

void Create::start()
{
    std::lock_guard<std::mutex> guard(m_lock);
    // Start again first: after a stop the base is off and ignores Safe.
    send({Start, Safe});
}

void Create::stop()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::uint8_t> bytes{Drive};
    put16(bytes, 0);
    put16(bytes, Straight);
    bytes.push_back(Stop);
    send(bytes);
}

void Create::drive(int velocity, int radius)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::uint8_t> bytes{Drive};
    put16(bytes, std::clamp(velocity, -MaxVelocity, MaxVelocity));
    put16(bytes, radius);
    send(bytes);
}

int Create::totalDistance()
{
    std::lock_guard<std::mutex> guard(m_lock);
    int delta = 0;
    if (querySigned16(DistancePacket, delta))
        m_distance += delta;
    return m_fd >= 0 ? clampToInt(m_distance) : 0;
}

int Create::totalAngle()
{
    std::lock_guard<std::mutex> guard(m_lock);
    int delta = 0;
    if (querySigned16(AnglePacket, delta))
        m_angle += delta;
    return m_fd >= 0 ? clampToInt(m_angle) : 0;
}

bool Create::querySigned16(std::uint8_t packet, int &value)
{
    if (m_fd < 0)
        return false;
    // A late answer to an earlier query must not pass for this one.
    ::tcflush(m_fd, TCIFLUSH);
    std::uint8_t bytes[2];
    if (!send({Sensors, packet}) || !receive(bytes, 2, QueryTimeoutMs))
        return false;
    value = static_cast<std::int16_t>((bytes[0] << 8) | bytes[1]);
    return true;
}

bool Create::send(const std::vector<std::uint8_t> &bytes)
{
    if (m_fd < 0)
        return false;
    const std::int64_t deadline = monotonicMs() + WriteTimeoutMs;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(m_fd, POLLOUT, deadline))
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            closeLine(); // the adapter was unplugged: behave as with no base
        return false;
    }
    return true;
}

bool Create::receive(std::uint8_t *bytes, std::size_t count, int timeoutMs)
{
    const std::int64_t deadline = monotonicMs() + timeoutMs;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (!waitFor(m_fd, POLLIN, deadline))
            return false;
    }
    return true;
}

} // namespace Private

using Private::Create;

int create_connect(void)
{
    return Create::instance().connect() ? 0 : -1;
}

void create_disconnect(void)
{
    Create::instance().disconnect();
}

void create_start(void)
{
    Create::instance().start();
}

void create_stop(void)
{
    Create::instance().stop();
}

void create_spin_CW(int speed)
{
    Create::instance().drive(speed, -1);
}

void create_spin_CCW(int speed)
{
    Create::instance().drive(speed, 1);
}

int get_create_distance(void)
{
    return Create::instance().totalDistance();
}

int get_create_total_angle(void)
{
    return Create::instance().totalAngle();
}
