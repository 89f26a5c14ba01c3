#include "private/camera_capture_p.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace Camera {

namespace {

constexpr int Sizes[CaptureInputProvider::ResolutionCount][2] = {{160, 120}, {320, 240}, {640, 480}};
// A camera that does not say how often it sends is taken to send 30 a second.
constexpr long long DefaultPeriodUs = 1000000 / 30;

int retryIoctl(int fd, unsigned long request, void *argument)
{
    int result;
    do
        result = ::ioctl(fd, request, argument);
    while (result < 0 && errno == EINTR);
    return result;
}

long long monotonicUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::string fourcc(std::uint32_t code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8)
        text += static_cast<char>((code >> shift) & 0xff);
    return text;
}

} // namespace

bool CaptureInputProvider::validResolution(int code)
{
    return code >= 0 && code < ResolutionCount;
}

CaptureInputProvider::CaptureInputProvider() = default;

CaptureInputProvider::~CaptureInputProvider()
{
    close();
}

bool CaptureInputProvider::setResolution(int code)
{
    if (!validResolution(code))
        return false;
    m_resolution = code;
    return true;
}

bool CaptureInputProvider::open(int number)
{
    close();
    if (number < 0)
        return false;
    m_path = "/dev/video" + std::to_string(number);
    // Non-blocking, so that a camera that stops sending cannot hold the
    // program: waits go through poll with a time-out.
    m_fd = ::open(m_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        // No camera there is the usual case on a desk: no message.
        if (errno != ENOENT)
            fail("open");
        return false;
    }
    if (!negotiate() || !mapBuffers() || !startStreaming()) {
        close();
        return false;
    }
    return true;
}

bool CaptureInputProvider::negotiate()
{
    v4l2_capability capability{};
    if (retryIoctl(m_fd, VIDIOC_QUERYCAP, &capability) < 0)
        return fail("VIDIOC_QUERYCAP");
    const std::uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
        std::fprintf(stderr, "kestrix: camera %s: not a streaming video capture device\n", m_path.c_str());
        return false;
    }

    bool yuyv = false;
    std::string offered;
    for (std::uint32_t index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (retryIoctl(m_fd, VIDIOC_ENUM_FMT, &description) < 0)
            break;
        yuyv = yuyv || description.pixelformat == V4L2_PIX_FMT_YUYV;
        offered += (offered.empty() ? "" : " ") + fourcc(description.pixelformat);
    }
    if (!yuyv) {
        // Typically a camera that sends only compressed pictures, which
        // this library has no decoder for.
        std::fprintf(stderr,
                     "kestrix: camera %s offers no YUYV format, the only one this library converts "
                     "(it offers: %s); compressed video is not decoded\n",
                     m_path.c_str(), offered.empty() ? "nothing" : offered.c_str());
        return false;
    }

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(Sizes[m_resolution][0]);
    format.fmt.pix.height = static_cast<std::uint32_t>(Sizes[m_resolution][1]);
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_ANY;
    if (retryIoctl(m_fd, VIDIOC_S_FMT, &format) < 0)
        return fail("VIDIOC_S_FMT");
    // The driver picks the nearest size it has; what it picked is what comes.
    m_width = static_cast<int>(format.fmt.pix.width);
    m_height = static_cast<int>(format.fmt.pix.height);
    m_bytesPerLine = format.fmt.pix.bytesperline != 0 ? format.fmt.pix.bytesperline : format.fmt.pix.width * 2;
    if (format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV || m_width <= 0 || m_height <= 0 || (m_width & 1) != 0
        || m_width > 8192 || m_height > 8192 || m_bytesPerLine < static_cast<std::size_t>(m_width) * 2) {
        std::fprintf(stderr, "kestrix: camera %s: refused the format it was given (%s %dx%d)\n", m_path.c_str(),
                     fourcc(format.fmt.pix.pixelformat).c_str(), m_width, m_height);
        return false;
    }

    m_periodUs = DefaultPeriodUs;
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (retryIoctl(m_fd, VIDIOC_G_PARM, &parameters) == 0) {
        const v4l2_fract &period = parameters.parm.capture.timeperframe;
        if (period.numerator != 0 && period.denominator != 0)
            m_periodUs = 1000000LL * period.numerator / period.denominator;
    }
    return true;
}

bool CaptureInputProvider::mapBuffers()
{
    v4l2_requestbuffers request{};
    request.count = BufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (retryIoctl(m_fd, VIDIOC_REQBUFS, &request) < 0)
        return fail("VIDIOC_REQBUFS");
    // One buffer in use and one being filled is the least that streams.
    if (request.count < 2) {
        std::fprintf(stderr, "kestrix: camera %s: only %u buffer(s)\n", m_path.c_str(), request.count);
        return false;
    }
    const std::size_t needed = m_bytesPerLine * static_cast<std::size_t>(m_height);
    for (std::uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (retryIoctl(m_fd, VIDIOC_QUERYBUF, &buffer) < 0)
            return fail("VIDIOC_QUERYBUF");
        if (buffer.length < needed) {
            std::fprintf(stderr, "kestrix: camera %s: buffer of %u bytes for a %zu-byte picture\n", m_path.c_str(),
                         buffer.length, needed);
            return false;
        }
        void *start = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buffer.m.offset);
        if (start == MAP_FAILED)
            return fail("mmap");
        m_buffers.push_back(Buffer{start, buffer.length});
    }
    return true;
}

bool CaptureInputProvider::startStreaming()
{
    for (unsigned index = 0; index < m_buffers.size(); ++index)
        if (!requeue(index))
            return fail("VIDIOC_QBUF");
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (retryIoctl(m_fd, VIDIOC_STREAMON, &type) < 0)
        return fail("VIDIOC_STREAMON");
    m_streaming = true;
    return true;
}

void CaptureInputProvider::close()
{
    if (m_fd < 0)
        return;
    if (m_streaming) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        retryIoctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
    }
    for (const Buffer &buffer : m_buffers)
        ::munmap(buffer.start, buffer.length);
    if (!m_buffers.empty()) {
        // Gives the buffers back to the driver; a device already gone
        // refuses, and closing frees them anyway.
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        retryIoctl(m_fd, VIDIOC_REQBUFS, &request);
        m_buffers.clear();
    }
    ::close(m_fd);
    m_fd = -1;
}

bool CaptureInputProvider::isOpen() const
{
    return m_streaming;
}

int CaptureInputProvider::dequeue(unsigned &index, long long &timestampUs)
{
    for (;;) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (retryIoctl(m_fd, VIDIOC_DQBUF, &buffer) < 0) {
            if (errno == EAGAIN)
                return 0;
            lost("VIDIOC_DQBUF");
            return -1;
        }
        if (buffer.index >= m_buffers.size()) {
            lost("VIDIOC_DQBUF");
            return -1;
        }
        // A damaged or short picture goes straight back.
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) || buffer.bytesused < m_bytesPerLine * static_cast<std::size_t>(m_height)) {
            if (!requeue(buffer.index)) {
                lost("VIDIOC_QBUF");
                return -1;
            }
            continue;
        }
        index = buffer.index;
        m_monotonicTimestamps =
            (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        timestampUs = static_cast<long long>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
        return 1;
    }
}

bool CaptureInputProvider::requeue(unsigned index)
{
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return retryIoctl(m_fd, VIDIOC_QBUF, &buffer) == 0;
}

bool CaptureInputProvider::fresh(long long timestampUs) const
{
    // A picture is taken, then sent: one period old on arrival is normal,
    // two means a newer one exists. Without the system's clock in the
    // timestamp there is no telling, and the queue's last is the best guess.
    return !m_monotonicTimestamps || monotonicUs() - timestampUs <= m_periodUs * 2;
}

int CaptureInputProvider::drain(unsigned &newest, long long &newestUs)
{
    bool have = false;
    // One round of the buffers at most: a camera faster than this loop
    // would otherwise keep it going for ever.
    for (std::size_t round = 0; round < m_buffers.size(); ++round) {
        unsigned index;
        long long timestampUs;
        const int got = dequeue(index, timestampUs);
        if (got < 0)
            return -1;
        if (got == 0)
            return have ? 1 : 0;
        if (have && !requeue(newest)) {
            lost("VIDIOC_QBUF");
            return -1;
        }
        have = true;
        newest = index;
        newestUs = timestampUs;
    }
    return have ? 1 : 0;
}

bool CaptureInputProvider::nextFrame(Frame &frame)
{
    if (!m_streaming)
        return false;
    unsigned newest = 0;
    long long newestUs = 0;
    int have = drain(newest, newestUs);
    if (have < 0)
        return false;
    // The queue's last picture may still be from long ago (the driver stops
    // filling when every buffer waits); then the next one is worth the wait.
    if (have > 0 && !fresh(newestUs)) {
        if (!requeue(newest)) {
            lost("VIDIOC_QBUF");
            return false;
        }
        have = 0;
    }
    const long long deadline = monotonicUs() + WaitMs * 1000LL;
    while (have == 0) {
        const long long leftUs = deadline - monotonicUs();
        if (leftUs <= 0)
            return false;
        pollfd wait{m_fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>((leftUs + 999) / 1000));
        if (ready < 0 && errno != EINTR) {
            lost("poll");
            return false;
        }
        if (ready <= 0)
            continue;
        // What came while we waited is as new as pictures get.
        have = drain(newest, newestUs);
        if (have < 0)
            return false;
        // POLLERR with nothing to dequeue: the device says it is gone.
        if (have == 0 && (wait.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            errno = ENODEV;
            lost("poll");
            return false;
        }
    }
    convertYuyv(static_cast<const unsigned char *>(m_buffers[newest].start), m_width, m_height, m_bytesPerLine,
                frame);
    if (!requeue(newest)) {
        lost("VIDIOC_QBUF");
        return false;
    }
    return true;
}

bool CaptureInputProvider::fail(const char *what)
{
    std::fprintf(stderr, "kestrix: camera %s: %s: %s\n", m_path.c_str(), what, std::strerror(errno));
    return false;
}

void CaptureInputProvider::lost(const char *what)
{
    fail(what);
    close();
}

} // namespace Camera
