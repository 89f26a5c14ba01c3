#ifndef KESTRIX_PRIVATE_CAMERA_CAPTURE_P_H
#define KESTRIX_PRIVATE_CAMERA_CAPTURE_P_H

#include "private/camera_p.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Camera {

// A camera attached to the controller: Linux video capture on
// /dev/video<number>, memory-mapped streaming buffers, YUYV frames.
// A camera that sends only compressed pictures is refused with a message on
// standard error. Once the device fails (unplugged, say) the provider closes
// itself and has no frames until it is opened again.
class CaptureInputProvider : public InputProvider
{
public:
    // Sizes by resolution code: 0 = 160 x 120, 1 = 320 x 240, 2 = 640 x 480.
    static constexpr int ResolutionCount = 3;
    static bool validResolution(int code);

    CaptureInputProvider();
    ~CaptureInputProvider() override;

    // The size asked for at the next open(); the camera may offer another
    // close to it. False (and nothing changed) for an unknown code.
    bool setResolution(int code);

    bool open(int number) override;
    void close() override;
    bool isOpen() const override;
    // Drops frames that waited in the queue and returns the newest; waits
    // at most WaitMs for one when none is fresh.
    bool nextFrame(Frame &frame) override;
    int frameWidth() const override { return isOpen() ? m_width : 0; }
    int frameHeight() const override { return isOpen() ? m_height : 0; }

    static constexpr int BufferCount = 4;
    static constexpr int WaitMs = 2000;

private:
    struct Buffer
    {
        void *start;
        std::size_t length;
    };

    bool negotiate();
    bool mapBuffers();
    bool startStreaming();
    // Dequeues one filled buffer into `index`; 0 when none is ready, -1 when
    // the device failed.
    int dequeue(unsigned &index, long long &timestampUs);
    bool requeue(unsigned index);
    // Dequeues every filled buffer, gives all but the newest back: 1 with
    // the newest in `newest`, 0 when none was ready, -1 when the device failed.
    int drain(unsigned &newest, long long &newestUs);
    bool fresh(long long timestampUs) const;
    // Reports the failure of `what` with the system's text.
    bool fail(const char *what);
    void lost(const char *what);

    std::string m_path;
    int m_fd = -1;
    int m_resolution = 0;
    int m_width = 0;
    int m_height = 0;
    std::size_t m_bytesPerLine = 0;
    long long m_periodUs = 0;
    bool m_monotonicTimestamps = false;
    bool m_streaming = false;
    std::vector<Buffer> m_buffers;
};

} // namespace Camera

#endif
