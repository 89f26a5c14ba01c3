// A fake Linux video capture device (a USB camera) at the system-call
// boundary: it answers open, ioctl, mmap, munmap, poll and close for
// /dev/video<N> once a camera is plugged in, the way a camera driver does
// (capabilities, formats, size negotiation, memory-mapped buffers, queue and
// dequeue, stream on and off). Pictures come from a frame source at the
// camera's frame rate on the monotonic clock, so a program that is slow to
// ask finds old pictures waiting and new ones dropped, as with a real camera.
//
// Tests plug a camera in with FakeVideo::instance().plugIn() and give it a
// frame source; the simulator gives it a renderer of the world.
#ifndef KESTRIX_SIM_FAKE_VIDEO_H
#define KESTRIX_SIM_FAKE_VIDEO_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kxsim {

// Fills one YUYV picture of `width` x `height` pixels (rows `bytesPerLine`
// bytes apart). `sequence` counts the camera's frames since stream on.
using FrameSource = std::function<void(unsigned char *yuyv, int width, int height, std::size_t bytesPerLine,
                                       std::uint32_t sequence)>;

// What a camera sends for an RGB picture (three bytes a pixel, no padding;
// `width` even): neighbours share their averaged chroma.
void encodeYuyv(const unsigned char *rgb, int width, int height, unsigned char *yuyv, std::size_t bytesPerLine);

class FakeVideo
{
public:
    static FakeVideo &instance();

    // No camera plugged in, a black picture as source, counters and log
    // cleared. Descriptors still open stay valid but report ENODEV.
    void reset();

    // A camera answers /dev/video<number> from now on, sending YUYV at
    // `framesPerSecond` in the sizes 160x120, 320x240 and 640x480 (the
    // nearest to what is asked for is given).
    void plugIn(int number = 0, double framesPerSecond = 30);
    // Pulls the camera out: opens fail with ENOENT, every ioctl and mmap on
    // a descriptor already open fails with ENODEV, poll reports POLLERR.
    // Mappings stay readable until unmapped, as with a real driver.
    void unplug();
    // The camera lists only a compressed format (MJPG) and S_FMT gives that.
    void setCompressedOnly(bool compressedOnly);
    void setFrameSource(FrameSource source);
    // Called with each picture the program dequeues (under the device's
    // lock: it must not call back into the device); reset() keeps it.
    using TakenHook = std::function<void(const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine)>;
    void setTakenHook(TakenHook hook);

    // The driver calls seen since reset, in order: "QUERYCAP", "ENUM_FMT",
    // "S_FMT", "G_FMT", "G_PARM", "REQBUFS", "QUERYBUF", "QBUF", "DQBUF",
    // "STREAMON", "STREAMOFF", plus "open", "mmap", "munmap", "poll" and
    // "close"; a call that failed has "!" appended. Repeated DQBUF, QBUF and
    // poll calls are logged like any other. The last LogLimit calls are
    // kept: a program may take pictures for hours.
    static constexpr std::size_t LogLimit = 4096;
    std::vector<std::string> log() const;
    // Descriptors now open, mappings not yet unmapped, pictures the source
    // filled since reset.
    int openDescriptors() const;
    int liveMappings() const;
    std::uint32_t framesFilled() const;
    // Whether some descriptor is streaming, and the size last set.
    bool streaming() const;
    int width() const;
    int height() const;

    // Called by the device file; not for tests.
    struct Session;
    bool claims(const char *path) const;
    int open(const char *path, int flags);
    int ioctl(int fd, unsigned long request, void *argument);
    void *mmap(int fd, std::size_t length, int prot, int flags, long long offset);
    void unmapped(void *address, std::size_t length);
    int poll(int fd, short events, short &revents, int timeoutMs);
    void closed(int fd);
    // The session of descriptor `fd` goes on under `now`, a duplicate of it.
    void renumbered(int fd, int now);

private:
    FakeVideo();
    int control(Session &session, unsigned long request, void *argument);
    void advance(Session &session, std::int64_t nowUs);
    void note(const char *call, bool ok);

    mutable std::mutex m_lock;
    int m_number = -1; // -1: unplugged
    double m_framesPerSecond = 30;
    bool m_compressedOnly = false;
    FrameSource m_source;
    TakenHook m_taken;
    std::map<int, std::unique_ptr<Session>> m_sessions;
    std::map<void *, int> m_mappings; // address -> descriptor that mapped it
    std::deque<std::string> m_log;
    std::uint32_t m_framesFilled = 0;
    int m_width = 640;
    int m_height = 480;
};

} // namespace kxsim

#endif
