// A fake Linux framebuffer behind /dev/fb0. Its screen memory is an
// anonymous in-memory file: the library opens /dev/fb0, asks for the screen
// layout (FBIOGET_VSCREENINFO, FBIOGET_FSCREENINFO) and writes its pixels
// into that file, so what graphics_update showed can be read back here.
// Until enable() is called /dev/fb0 is left to the real system.
//
// Tests and the simulator use it the same way:
//     FakeFramebuffer::instance().enable({100, 100, 32});
//     ... graphics_open, draw, graphics_update ...
//     std::uint32_t colour = FakeFramebuffer::instance().rgb(10, 10);
#ifndef KESTRIX_SIM_FAKE_FRAMEBUFFER_H
#define KESTRIX_SIM_FAKE_FRAMEBUFFER_H

#include <cstdint>
#include <mutex>
#include <vector>

#include <linux/fb.h>

namespace kxsim {

class FakeFramebuffer
{
public:
    struct Screen
    {
        unsigned columns = 640, rows = 480;
        unsigned bitsPerPixel = 32;   // the library draws on 16 and 32
        unsigned paddingBytes = 0;    // unused bytes at the end of each line
        // The colour components' places in a pixel; all zero means the
        // driver reports none (the library then assumes 8-8-8 or 5-6-5).
        fb_bitfield red{}, green{}, blue{};
    };

    static FakeFramebuffer &instance();

    // Serves /dev/fb0 with a fresh screen whose every byte is `fill`.
    // Returns false when its memory cannot be made.
    bool enable(const Screen &screen, std::uint8_t fill = 0);
    // The same on a file another process made and reads (the launcher's
    // panel shows the screen from it); the fake takes the descriptor over.
    bool enable(const Screen &screen, int memoryFd, std::uint8_t fill = 0);
    // /dev/fb0 goes back to the real system; descriptors already handed
    // out keep writing into the old memory.
    void disable();

    // The whole screen memory, line after line (lineLength() bytes each).
    std::vector<std::uint8_t> memory() const;
    unsigned lineLength() const;
    // The pixel at column x, row y as stored (2 or 4 bytes).
    std::uint32_t raw(unsigned x, unsigned y) const;
    // The same pixel as 0x00RRGGBB, each component widened to 8 bits.
    std::uint32_t rgb(unsigned x, unsigned y) const;

    // Called by the device file; not for tests.
    int open(int flags);
    int ioctl(unsigned long request, void *argument);
    bool enabled() const;

private:
    FakeFramebuffer() = default;

    mutable std::mutex m_lock;
    Screen m_screen;
    int m_memory = -1; // the in-memory file, -1 while disabled
};

} // namespace kxsim

#endif
