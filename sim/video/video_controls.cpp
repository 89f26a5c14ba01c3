// The controls of the fake video device: the capture ioctls a V4L2 client
// makes, from the capability query to the buffer queue.
#include "video/video_session.h"

#include "fakes/fake_device.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <linux/videodev2.h>

namespace kxsim {

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
            if (m_taken)
                m_taken(session.view + ours.offset, m_width, m_height, static_cast<std::size_t>(m_width) * 2);
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

} // namespace kxsim
