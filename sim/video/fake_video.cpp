#include "video/fake_video.h"

#include "fakes/fake_device.h"

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
constexpr int Sizes[][2] = {{160, 120}, {320, 240}, {640, 480}};
constexpr std::uint32_t MaxBuffers = 8;

std::int64_t monotonicUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

unsigned char clamp(int value)
{
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

std::size_t pageRounded(std::size_t length)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
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
        for (int x = 0; x + 1 < width; x += 2, in += 6, out += 4) {
            out[0] = luma(in);
            out[1] = clamp((blue(in) + blue(in + 3) + 1) >> 1);
            out[2] = luma(in + 3);
            out[3] = clamp((red(in) + red(in + 3) + 1) >> 1);
        }
    }
}

struct FakeVideo::Session
{
    struct Buffer
    {
        std::size_t offset = 0;
        bool queued = false; // with the driver, filled or not
        std::uint32_t sequence = 0;
        std::int64_t timestampUs = 0;
    };

    unsigned serial = 0;
    int flags = 0;
    bool gone = false;
    std::vector<Buffer> buffers;
    std::size_t bufferLength = 0; // page-rounded size of each buffer
    unsigned char *view = nullptr; // the fake's own mapping of every buffer
    std::size_t viewLength = 0;
    std::deque<std::uint32_t> empty; // queued, waiting for a picture
    std::deque<std::uint32_t> filled; // queued, holding a picture
    bool streaming = false;
    std::int64_t startUs = 0;
    long long lastFrame = -1; // the camera's last frame, filled or dropped
    int mappings = 0;

    void release()
    {
        if (view != nullptr)
            ::munmap(view, viewLength);
        view = nullptr;
        viewLength = 0;
        buffers.clear();
        empty.clear();
        filled.clear();
        bufferLength = 0;
    }
};

FakeVideo::FakeVideo()
    : m_source(blackPicture)
{
}

FakeVideo &FakeVideo::instance()
{
    static FakeVideo s_instance;
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
    return m_log;
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

int FakeVideo::control(Session &session, unsigned long request, void *argument)
{
    const auto refuse = [](int error) {
        errno = error;
        return -1;
    };
    const std::uint32_t pixelFormat = m_compressedOnly ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
    const std::size_t pictureBytes = static_cast<std::size_t>(m_width) * static_cast<std::size_t>(m_height) * 2;
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto &capability = *static_cast<v4l2_capability *>(argument);
        capability = v4l2_capability{};
        std::strcpy(reinterpret_cast<char *>(capability.driver), "kestrix-fake");
        std::strcpy(reinterpret_cast<char *>(capability.card), "Simulated camera");
        std::strcpy(reinterpret_cast<char *>(capability.bus_info), "platform:kestrix-sim");
        capability.version = 0x060100;
        capability.device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        capability.capabilities = capability.device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto &description = *static_cast<v4l2_fmtdesc *>(argument);
        if (description.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || description.index != 0)
            return refuse(EINVAL);
        const std::uint32_t index = description.index;
        description = v4l2_fmtdesc{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        description.pixelformat = pixelFormat;
        description.flags = m_compressedOnly ? V4L2_FMT_FLAG_COMPRESSED : 0;
        std::strcpy(reinterpret_cast<char *>(description.description), m_compressedOnly ? "Motion-JPEG" : "YUYV 4:2:2");
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_G_FMT: {
        auto &format = *static_cast<v4l2_format *>(argument);
        if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return refuse(EINVAL);
        if (request == VIDIOC_S_FMT) {
            if (!session.buffers.empty())
                return refuse(EBUSY);
            // The nearest size by area, as drivers do.
            const long long asked = static_cast<long long>(format.fmt.pix.width) * format.fmt.pix.height;
            const int(*best)[2] = &Sizes[0];
            for (const auto &size : Sizes)
                if (std::llabs(static_cast<long long>(size[0]) * size[1] - asked)
                    < std::llabs(static_cast<long long>((*best)[0]) * (*best)[1] - asked))
                    best = &size;
            m_width = (*best)[0];
            m_height = (*best)[1];
        }
        format.fmt.pix = v4l2_pix_format{};
        format.fmt.pix.width = static_cast<std::uint32_t>(m_width);
        format.fmt.pix.height = static_cast<std::uint32_t>(m_height);
        format.fmt.pix.pixelformat = pixelFormat;
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = static_cast<std::uint32_t>(m_width) * 2;
        format.fmt.pix.sizeimage = static_cast<std::uint32_t>(m_width * m_height * 2);
        format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
        return 0;
    }
    case VIDIOC_G_PARM: {
        auto &parameters = *static_cast<v4l2_streamparm *>(argument);
        if (parameters.type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return refuse(EINVAL);
        parameters.parm.capture = v4l2_captureparm{};
        parameters.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parameters.parm.capture.timeperframe.numerator = 1000;
        parameters.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(std::lround(m_framesPerSecond * 1000));
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto &request = *static_cast<v4l2_requestbuffers *>(argument);
        if (request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request.memory != V4L2_MEMORY_MMAP)
            return refuse(EINVAL);
        // Buffers still mapped or streaming cannot be given back.
        if (session.streaming || session.mappings > 0)
            return refuse(EBUSY);
        session.release();
        request.count = std::min(request.count, MaxBuffers);
        request.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        if (request.count == 0)
            return 0;
        session.bufferLength = pageRounded(pictureBytes);
        session.viewLength = session.bufferLength * request.count;
        // The descriptor of this session is the memfd that open() made.
        int fd = -1;
        for (const auto &entry : m_sessions)
            if (entry.second.get() == &session)
                fd = entry.first;
        if (::ftruncate(fd, static_cast<off_t>(session.viewLength)) != 0)
            return refuse(ENOMEM);
        void *view = realMmap(nullptr, session.viewLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED)
            return refuse(ENOMEM);
        session.view = static_cast<unsigned char *>(view);
        session.buffers.resize(request.count);
        for (std::uint32_t index = 0; index < request.count; ++index)
            session.buffers[index].offset = index * session.bufferLength;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto &buffer = *static_cast<v4l2_buffer *>(argument);
        if (buffer.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer.memory != V4L2_MEMORY_MMAP)
            return refuse(EINVAL);
        if (request == VIDIOC_DQBUF) {
            if (!session.streaming)
                return refuse(EINVAL);
            advance(session, monotonicUs());
            if (session.filled.empty())
                return refuse(EAGAIN);
            buffer.index = session.filled.front();
            session.filled.pop_front();
            session.buffers[buffer.index].queued = false;
        } else if (buffer.index >= session.buffers.size()) {
            return refuse(EINVAL);
        }
        Session::Buffer &ours = session.buffers[buffer.index];
        if (request == VIDIOC_QBUF) {
            if (ours.queued)
                return refuse(EINVAL);
            ours.queued = true;
            session.empty.push_back(buffer.index);
        }
        const std::uint32_t index = buffer.index;
        buffer = v4l2_buffer{};
        buffer.index = index;
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.m.offset = static_cast<std::uint32_t>(ours.offset);
        buffer.length = static_cast<std::uint32_t>(pictureBytes);
        buffer.field = V4L2_FIELD_NONE;
        buffer.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (ours.queued ? V4L2_BUF_FLAG_QUEUED : 0);
        if (request == VIDIOC_DQBUF) {
            buffer.bytesused = static_cast<std::uint32_t>(pictureBytes);
            buffer.sequence = ours.sequence;
            buffer.timestamp.tv_sec = static_cast<time_t>(ours.timestampUs / 1000000);
            buffer.timestamp.tv_usec = static_cast<suseconds_t>(ours.timestampUs % 1000000);
            buffer.flags |= V4L2_BUF_FLAG_DONE;
        }
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        if (*static_cast<const int *>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return refuse(EINVAL);
        if (request == VIDIOC_STREAMON) {
            if (session.buffers.empty())
                return refuse(EINVAL);
            if (!session.streaming) {
                session.streaming = true;
                session.startUs = monotonicUs();
                session.lastFrame = -1;
            }
            return 0;
        }
        // Stream off hands every buffer back to the program.
        session.streaming = false;
        session.empty.clear();
        session.filled.clear();
        for (Session::Buffer &buffer : session.buffers)
            buffer.queued = false;
        return 0;
    }
    default:
        return refuse(ENOTTY);
    }
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
