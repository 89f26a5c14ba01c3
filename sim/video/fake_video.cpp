#include "video/fake_video.h"

#include "fakes/fake_device.h"
#include "video/video_session.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr char VideoPrefix[] = "/dev/video";
unsigned char clamp(int value)
{
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Whether the twelve bytes at `in` are `low` then `high`.
bool alike(const unsigned char *in, std::uint64_t low, std::uint32_t high)
{
    std::uint64_t first;
    std::uint32_t last;
    std::memcpy(&first, in, sizeof first);
    std::memcpy(&last, in + 8, sizeof last);
    return first == low && last == high;
}

class VideoDeviceFile : public FakeDevice
{
public:
    bool claims(const char *path) const override { return FakeVideo::instance().claims(path); }
    int open(const char *path, int flags) override { return FakeVideo::instance().open(path, flags); }
    int ioctl(int fd, unsigned long request, void *argument) override
    {
        return FakeVideo::instance().ioctl(fd, request, argument);
    }
    void *mmap(int fd, std::size_t length, int prot, int flags, long long offset) override
    {
        return FakeVideo::instance().mmap(fd, length, prot, flags, offset);
    }
    void unmapped(void *address, std::size_t length) override { FakeVideo::instance().unmapped(address, length); }
    bool poll(int fd, short events, short &revents, int timeoutMs, int &result) override
    {
        result = FakeVideo::instance().poll(fd, events, revents, timeoutMs);
        return true;
    }
    void closed(int fd) override { FakeVideo::instance().closed(fd); }
    void renumbered(int fd, int now) override { FakeVideo::instance().renumbered(fd, now); }
};

const Registered<VideoDeviceFile> s_videoDevice;

void blackPicture(unsigned char *yuyv, int width, int height, std::size_t bytesPerLine, std::uint32_t)
{
    for (int row = 0; row < height; ++row) {
        unsigned char *line = yuyv + static_cast<std::size_t>(row) * bytesPerLine;
        for (int x = 0; x < width; x += 2, line += 4) {
            line[0] = line[2] = 16;
            line[1] = line[3] = 128;
        }
    }
}

} // namespace

void encodeYuyv(const unsigned char *rgb, int width, int height, unsigned char *yuyv, std::size_t bytesPerLine)
{
    auto luma = [](const unsigned char *p) { return clamp(((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16); };
    auto blue = [](const unsigned char *p) { return ((-38 * p[0] - 74 * p[1] + 112 * p[2] + 128) >> 8) + 128; };
    auto red = [](const unsigned char *p) { return ((112 * p[0] - 94 * p[1] - 18 * p[2] + 128) >> 8) + 128; };
    for (int row = 0; row < height; ++row) {
        const unsigned char *in = rgb + static_cast<std::size_t>(row) * static_cast<std::size_t>(width) * 3;
        unsigned char *out = yuyv + static_cast<std::size_t>(row) * bytesPerLine;
        // Rendered pictures are flat over long stretches: a pair like the
        // one before is sent alike, two at a time while both are.
        std::uint32_t beforeLow = 0;
        std::uint16_t beforeHigh = 0;
        std::uint64_t twiceLow = 0;
        std::uint32_t twiceHigh = 0;
        unsigned char sent[8];
        for (int x = 0; x + 1 < width;) {
            std::uint32_t low;
            std::uint16_t high;
            std::memcpy(&low, in, sizeof low);
            std::memcpy(&high, in + 4, sizeof high);
            if (x == 0 || low != beforeLow || high != beforeHigh) {
                beforeLow = low;
                beforeHigh = high;
                unsigned char pair[12];
                std::memcpy(pair, in, 6);
                std::memcpy(pair + 6, in, 6);
                std::memcpy(&twiceLow, pair, sizeof twiceLow);
                std::memcpy(&twiceHigh, pair + 8, sizeof twiceHigh);
                sent[0] = luma(in);
                sent[1] = clamp((blue(in) + blue(in + 3) + 1) >> 1);
                sent[2] = luma(in + 3);
                sent[3] = clamp((red(in) + red(in + 3) + 1) >> 1);
                std::memcpy(sent + 4, sent, 4);
            } else if (x + 3 < width && alike(in, twiceLow, twiceHigh)) {
                do {
                    std::memcpy(out, sent, 8);
                    x += 4;
                    in += 12;
                    out += 8;
                } while (x + 3 < width && alike(in, twiceLow, twiceHigh));
                continue;
            }
            std::memcpy(out, sent, 4);
            x += 2;
            in += 6;
            out += 4;
        }
    }
}

FakeVideo::FakeVideo()
    : m_source(blackPicture)
{
}

FakeVideo &FakeVideo::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeVideo &s_instance = *new FakeVideo;
    return s_instance;
}

void FakeVideo::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_number = -1;
    m_framesPerSecond = 30;
    m_compressedOnly = false;
    m_source = blackPicture;
    for (auto &entry : m_sessions)
        entry.second->gone = true;
    m_log.clear();
    m_framesFilled = 0;
    m_width = 640;
    m_height = 480;
}

void FakeVideo::plugIn(int number, double framesPerSecond)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_number = number;
    m_framesPerSecond = framesPerSecond > 0 ? framesPerSecond : 30;
}

void FakeVideo::unplug()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_number = -1;
    for (auto &entry : m_sessions)
        entry.second->gone = true;
}

void FakeVideo::setCompressedOnly(bool compressedOnly)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_compressedOnly = compressedOnly;
}

void FakeVideo::setFrameSource(FrameSource source)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_source = source ? std::move(source) : FrameSource(blackPicture);
}

std::vector<std::string> FakeVideo::log() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return {m_log.begin(), m_log.end()};
}

void FakeVideo::setTakenHook(TakenHook hook)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_taken = std::move(hook);
}

int FakeVideo::openDescriptors() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_sessions.size());
}

int FakeVideo::liveMappings() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_mappings.size());
}

std::uint32_t FakeVideo::framesFilled() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_framesFilled;
}

bool FakeVideo::streaming() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto &entry : m_sessions)
        if (entry.second->streaming)
            return true;
    return false;
}

int FakeVideo::width() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_width;
}

int FakeVideo::height() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_height;
}

void FakeVideo::note(const char *call, bool ok)
{
    if (m_log.size() == LogLimit)
        m_log.pop_front();
    m_log.push_back(ok ? std::string(call) : std::string(call) + "!");
}

bool FakeVideo::claims(const char *path) const
{
    if (std::strncmp(path, VideoPrefix, sizeof VideoPrefix - 1) != 0)
        return false;
    const char *digits = path + sizeof VideoPrefix - 1;
    return *digits != '\0' && std::strspn(digits, "0123456789") == std::strlen(digits);
}

int FakeVideo::open(const char *path, int flags)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const char *digits = path + sizeof VideoPrefix - 1;
    if (m_number < 0 || std::strlen(digits) > 6 || std::atoi(digits) != m_number) {
        note("open", false);
        errno = ENOENT;
        return -1;
    }
    // The buffers' memory: the descriptor the program holds is the one it
    // maps, as with a driver.
    const int fd = ::memfd_create("kestrix-fake-video", MFD_CLOEXEC);
    if (fd < 0) {
        note("open", false);
        return -1;
    }
    static unsigned s_serial = 0;
    auto session = std::make_unique<Session>();
    session->serial = ++s_serial;
    session->flags = flags;
    m_sessions[fd] = std::move(session);
    note("open", true);
    return fd;
}

void FakeVideo::renumbered(int fd, int now)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_sessions.find(fd);
    if (found == m_sessions.end())
        return;
    std::unique_ptr<Session> session = std::move(found->second);
    m_sessions.erase(found);
    m_sessions[now] = std::move(session);
}

void FakeVideo::closed(int fd)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_sessions.find(fd);
    if (found == m_sessions.end())
        return;
    found->second->release();
    m_sessions.erase(found);
    note("close", true);
}

void FakeVideo::advance(Session &session, std::int64_t nowUs)
{
    if (!session.streaming || session.gone)
        return;
    const double periodUs = 1e6 / m_framesPerSecond;
    const auto due = static_cast<long long>(std::floor(static_cast<double>(nowUs - session.startUs) / periodUs));
    // The driver fills the buffers it has, oldest frames first, and drops
    // the frames for which none is left.
    for (long long frame = session.lastFrame + 1; frame <= due && !session.empty.empty(); ++frame) {
        const std::uint32_t index = session.empty.front();
        session.empty.pop_front();
        Session::Buffer &buffer = session.buffers[index];
        m_source(session.view + buffer.offset, m_width, m_height, static_cast<std::size_t>(m_width) * 2,
                 static_cast<std::uint32_t>(frame));
        ++m_framesFilled;
        buffer.sequence = static_cast<std::uint32_t>(frame);
        buffer.timestampUs = session.startUs + static_cast<std::int64_t>(static_cast<double>(frame) * periodUs);
        session.filled.push_back(index);
    }
    session.lastFrame = std::max(session.lastFrame, due);
}

int FakeVideo::ioctl(int fd, unsigned long request, void *argument)
{
    std::unique_lock<std::mutex> guard(m_lock);
    const auto found = m_sessions.find(fd);
    if (found == m_sessions.end()) {
        errno = EBADF;
        return -1;
    }
    Session &session = *found->second;
    const char *name = "unknown";
    switch (request) {
    case VIDIOC_QUERYCAP: name = "QUERYCAP"; break;
    case VIDIOC_ENUM_FMT: name = "ENUM_FMT"; break;
    case VIDIOC_S_FMT: name = "S_FMT"; break;
    case VIDIOC_G_FMT: name = "G_FMT"; break;
    case VIDIOC_G_PARM: name = "G_PARM"; break;
    case VIDIOC_REQBUFS: name = "REQBUFS"; break;
    case VIDIOC_QUERYBUF: name = "QUERYBUF"; break;
    case VIDIOC_QBUF: name = "QBUF"; break;
    case VIDIOC_DQBUF: name = "DQBUF"; break;
    case VIDIOC_STREAMON: name = "STREAMON"; break;
    case VIDIOC_STREAMOFF: name = "STREAMOFF"; break;
    default: break;
    }
    int result;
    if (session.gone) {
        errno = ENODEV;
        result = -1;
    } else {
        result = control(session, request, argument);
    }
    const int error = errno;
    note(name, result == 0);
    errno = error;
    return result;
}

void *FakeVideo::mmap(int fd, std::size_t length, int prot, int flags, long long offset)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_sessions.find(fd);
    void *address = MAP_FAILED;
    if (found == m_sessions.end() || found->second->gone) {
        errno = ENODEV;
    } else {
        Session &session = *found->second;
        const bool known = std::any_of(session.buffers.begin(), session.buffers.end(), [&](const Session::Buffer &b) {
            return static_cast<long long>(b.offset) == offset;
        });
        // A driver maps one whole buffer, shared, or nothing.
        if (!known || length == 0 || length > session.bufferLength || !(flags & MAP_SHARED)) {
            errno = EINVAL;
        } else {
            address = realMmap(nullptr, length, prot, flags, fd, offset);
            if (address != MAP_FAILED) {
                ++session.mappings;
                m_mappings[address] = static_cast<int>(session.serial);
            }
        }
    }
    const int error = errno;
    note("mmap", address != MAP_FAILED);
    errno = error;
    return address;
}

void FakeVideo::unmapped(void *address, std::size_t)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_mappings.find(address);
    if (found == m_mappings.end())
        return;
    for (auto &entry : m_sessions)
        if (static_cast<int>(entry.second->serial) == found->second)
            --entry.second->mappings;
    m_mappings.erase(found);
    note("munmap", true);
}

int FakeVideo::poll(int fd, short events, short &revents, int timeoutMs)
{
    const std::int64_t startUs = monotonicUs();
    std::unique_lock<std::mutex> guard(m_lock);
    note("poll", true);
    for (;;) {
        const auto found = m_sessions.find(fd);
        revents = 0;
        // As a driver does: an error once the device is gone or not streaming.
        if (found == m_sessions.end() || found->second->gone || !found->second->streaming) {
            revents = POLLERR;
            return 1;
        }
        Session &session = *found->second;
        const std::int64_t nowUs = monotonicUs();
        advance(session, nowUs);
        if (!session.filled.empty()) {
            revents = static_cast<short>(events & (POLLIN | POLLRDNORM));
            return revents != 0 ? 1 : 0;
        }
        const std::int64_t leftUs = timeoutMs < 0 ? INT64_MAX : startUs + timeoutMs * 1000LL - nowUs;
        if (leftUs <= 0)
            return 0;
        // Without an empty buffer no picture comes: only the time-out ends it.
        std::int64_t waitUs = leftUs;
        if (!session.empty.empty()) {
            const double periodUs = 1e6 / m_framesPerSecond;
            const auto nextUs = session.startUs + static_cast<std::int64_t>(std::ceil(static_cast<double>(session.lastFrame + 1) * periodUs));
            waitUs = std::min(leftUs, std::max<std::int64_t>(nextUs - nowUs, 1));
        }
        guard.unlock();
        ::usleep(static_cast<useconds_t>(std::min<std::int64_t>(waitUs, 1000000)));
        guard.lock();
    }
}

} // namespace kxsim
