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
    QueryList = 149,
    Stop = 173,
};

enum Packet : std::uint8_t {
    DistancePacket = 19,
    AnglePacket = 20,
    ModePacket = 35,
};

constexpr std::uint8_t HighestMode = 3; // 0 off, 1 passive, 2 safe, 3 full
constexpr int MaxVelocity = 500;
constexpr int Straight = 32767;
constexpr int WriteTimeoutMs = 100;

std::int64_t monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

enum class Wait { Ready, TimedOut, LineGone };

// Waits for `events` on `fd` until `deadline`.
Wait waitFor(int fd, short events, std::int64_t deadline)
{
    for (;;) {
        const std::int64_t left = deadline - monotonicMs();
        if (left <= 0)
            return Wait::TimedOut;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return Wait::TimedOut;
        if (n > 0 && (p.revents & events))
            return Wait::Ready;
        return Wait::LineGone; // POLLERR, POLLHUP or POLLNVAL without data
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
    m_missedAnswers = 0;

    // Non-blocking so that a line nobody answers can never hold a call.
    const int fd = ::open(DevicePath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
    m_fd = fd;

    // The base answers nothing before Start; a valid mode proves it is there.
    std::uint8_t mode = 0xFF;
    ::tcflush(fd, TCIOFLUSH);
    if (!send({Start, Sensors, ModePacket}) || !receive(&mode, 1, ConnectTimeoutMs) || mode > HighestMode
        || moreInput()) {
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
    return total(DistancePacket, m_distance);
}

int Create::totalAngle()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return total(AnglePacket, m_angle);
}

int Create::total(std::uint8_t packet, std::int64_t &sum)
{
    if (m_fd < 0)
        return Disconnected;
    int delta = 0;
    if (queryMotion(packet, delta)) {
        sum += delta;
        m_missedAnswers = 0;
    } else if (m_fd >= 0 && ++m_missedAnswers >= MissedAnswersLimit) {
        closeLine(); // the base stopped answering: behave as with no base
    }
    return m_fd >= 0 ? clampToInt(sum) : Disconnected;
}

bool Create::queryMotion(std::uint8_t packet, int &value)
{
    // Anything already on the line is a late answer or noise, never the
    // answer to this query.
    ::tcflush(m_fd, TCIFLUSH);
    // The mode rides along with each report: a byte outside the four modes
    // shows that what came back is not the answer.
    std::uint8_t answer[3];
    if (!send({QueryList, 2, ModePacket, packet}) || !receive(answer, sizeof answer, QueryTimeoutMs))
        return false;
    if (answer[0] > HighestMode || moreInput())
        return false;
    value = static_cast<std::int16_t>((answer[1] << 8) | answer[2]);
    return true;
}

bool Create::moreInput()
{
    std::uint8_t extra;
    ssize_t n;
    do
        n = ::read(m_fd, &extra, 1);
    while (n < 0 && errno == EINTR);
    return n > 0;
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
        const Wait wait = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? waitFor(m_fd, POLLOUT, deadline)
                                                                            : Wait::LineGone;
        if (wait == Wait::Ready)
            continue;
        if (wait == Wait::LineGone)
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
        // A raw line without a minimum count reads 0 bytes when none are
        // waiting, as does a non-blocking read.
        const Wait wait = n == 0 || errno == EAGAIN || errno == EWOULDBLOCK ? waitFor(m_fd, POLLIN, deadline)
                                                                             : Wait::LineGone;
        if (wait == Wait::LineGone)
            closeLine(); // the adapter was unplugged: behave as with no base
        if (wait != Wait::Ready)
            return false;
    }
    return true;
}

} // namespace Private
