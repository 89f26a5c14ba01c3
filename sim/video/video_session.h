// The video fake's own parts, shared by the device (fake_video.cpp) and its
// controls (video_controls.cpp): one open descriptor's session with its
// buffers, and the sizes the camera offers. Private to video/.
#ifndef KESTRIX_SIM_VIDEO_SESSION_H
#define KESTRIX_SIM_VIDEO_SESSION_H

#include "video/fake_video.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace kxsim {

constexpr int Sizes[][2] = {{160, 120}, {320, 240}, {640, 480}};
constexpr std::uint32_t MaxBuffers = 8;

inline std::int64_t monotonicUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

inline std::size_t pageRounded(std::size_t length)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
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

} // namespace kxsim

#endif
