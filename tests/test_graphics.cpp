#include "private/graphics_p.h"
#include "kestrix/graphics.h"

#include "fake_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <linux/fb.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t Red = 0xFF0000;

struct Shown
{
    int width = 0, height = 0;
    unsigned long updates = 0;
    std::vector<std::uint32_t> pixels;

    std::uint32_t at(int x, int y) const { return pixels.at(static_cast<std::size_t>(y) * width + x); }
    int count(std::uint32_t colour) const
    {
        int n = 0;
        for (std::uint32_t p : pixels)
            n += p == colour ? 1 : 0;
        return n;
    }
};

Shown lastFrame()
{
    Shown s;
    kestrix_graphics_last_frame(nullptr, 0, &s.width, &s.height);
    s.pixels.resize(static_cast<std::size_t>(s.width) * s.height);
    s.updates = kestrix_graphics_last_frame(s.pixels.data(), s.pixels.size(), nullptr, nullptr);
    return s;
}

Shown drawOne(int x, int y, int radius)
{
    graphics_clear();
    graphics_circle_fill(x, y, radius, 255, 0, 0);
    graphics_update();
    return lastFrame();
}

// A framebuffer behind /dev/fb0: the descriptor is a temporary file that
// stands in for the screen memory, and the two info requests describe it.
class FakeFramebuffer : public kxsim::FakeDevice
{
public:
    bool enabled = false;
    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    std::string file;

    bool claims(const char *path) const override { return enabled && std::strcmp(path, "/dev/fb0") == 0; }
    int open(const char *, int flags) override { return kxsim::realOpen(file.c_str(), flags); }
    int ioctl(int, unsigned long request, void *argument) override
    {
        if (request == FBIOGET_VSCREENINFO)
            std::memcpy(argument, &var, sizeof var);
        else if (request == FBIOGET_FSCREENINFO)
            std::memcpy(argument, &fix, sizeof fix);
        else
            return -1;
        return 0;
    }
};

FakeFramebuffer &framebuffer()
{
    static FakeFramebuffer *s_fb = [] {
        auto *fb = new FakeFramebuffer;
        kxsim::registerDevice(fb);
        return fb;
    }();
    return *s_fb;
}

class Graphics : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(graphics_open(100, 100), 0); }
    void TearDown() override
    {
        graphics_close();
        framebuffer().enabled = false;
        if (!framebuffer().file.empty())
            ::unlink(framebuffer().file.c_str());
    }

    // A screen of 64 x 48 pixels whose lines carry 16 bytes of padding, all
    // of its memory filled with 0xAA.
    std::vector<std::uint8_t> screenMemory(unsigned bitsPerPixel)
    {
        FakeFramebuffer &fb = framebuffer();
        char name[] = "/tmp/kestrix-fb-XXXXXX";
        const int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        fb.file = name;
        fb.var = fb_var_screeninfo();
        fb.fix = fb_fix_screeninfo();
        fb.var.xres = 64;
        fb.var.yres = 48;
        fb.var.bits_per_pixel = bitsPerPixel;
        fb.fix.line_length = 64 * bitsPerPixel / 8 + 16;
        std::vector<std::uint8_t> memory(fb.fix.line_length * 48, 0xAA);
        EXPECT_EQ(::write(fd, memory.data(), memory.size()), ssize_t(memory.size()));
        ::close(fd);
        fb.enabled = true;
        return memory;
    }

    std::vector<std::uint8_t> screenAfterUpdate()
    {
        FILE *f = std::fopen(framebuffer().file.c_str(), "rb");
        std::vector<std::uint8_t> bytes(framebuffer().fix.line_length * 48);
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        return bytes;
    }
};

} // namespace

TEST_F(Graphics, DiscOfRadiusFiveHas81PixelsAllWithinTheRadius)
{
    const Shown frame = drawOne(50, 50, 5);
    ASSERT_EQ(frame.width, 100);
    ASSERT_EQ(frame.height, 100);
    EXPECT_EQ(frame.count(Red), 81);
    EXPECT_EQ(frame.count(0), 100 * 100 - 81);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const int d2 = (x - 50) * (x - 50) + (y - 50) * (y - 50);
            EXPECT_EQ(frame.at(x, y) == Red, d2 <= 25) << x << "," << y;
        }
}

TEST_F(Graphics, DiscsAtTheEdgesAreClipped)
{
    // A centre on an edge keeps 46 of the 81 pixels, one in a corner 26; the
    // sanitizer run checks that nothing lands outside the raster.
    EXPECT_EQ(drawOne(0, 50, 5).count(Red), 46);
    EXPECT_EQ(drawOne(99, 50, 5).count(Red), 46);
    EXPECT_EQ(drawOne(50, 0, 5).count(Red), 46);
    EXPECT_EQ(drawOne(50, 99, 5).count(Red), 46);
    EXPECT_EQ(drawOne(0, 0, 5).count(Red), 26);
    EXPECT_EQ(drawOne(99, 99, 5).count(Red), 26);
    EXPECT_EQ(drawOne(-6, 50, 5).count(Red), 0);
    EXPECT_EQ(drawOne(50, 105, 5).count(Red), 0);
    EXPECT_EQ(drawOne(-5, 50, 5).count(Red), 1);
    EXPECT_EQ(drawOne(50, 50, 2000000000).count(Red), 100 * 100);
    EXPECT_EQ(drawOne(-2000000000, 2000000000, 2000000000).count(Red), 0);
}

TEST_F(Graphics, RadiusZeroSetsOnePixelAndNegativeNone)
{
    EXPECT_EQ(drawOne(3, 4, 0).count(Red), 1);
    EXPECT_EQ(drawOne(3, 4, 0).at(3, 4), Red);
    EXPECT_EQ(drawOne(3, 4, -1).count(Red), 0);
}

TEST_F(Graphics, ColoursAreClampedAndClearBlackensTheWindow)
{
    graphics_circle_fill(10, 10, 1, 300, -4, 128);
    graphics_update();
    EXPECT_EQ(lastFrame().at(10, 10), 0xFF0080u);
    graphics_clear();
    graphics_update();
    EXPECT_EQ(lastFrame().count(0), 100 * 100);
}

TEST_F(Graphics, OnlyAnUpdateShowsWhatWasDrawn)
{
    drawOne(20, 20, 3);
    const unsigned long updates = lastFrame().updates;
    graphics_clear();
    graphics_circle_fill(80, 80, 3, 0, 255, 0);
    const Shown before = lastFrame();
    EXPECT_EQ(before.updates, updates);
    EXPECT_EQ(before.at(20, 20), Red);
    EXPECT_EQ(before.at(80, 80), 0u);
    graphics_update();
    const Shown after = lastFrame();
    EXPECT_EQ(after.updates, updates + 1);
    EXPECT_EQ(after.at(20, 20), 0u);
    EXPECT_EQ(after.at(80, 80), 0x00FF00u);
}

TEST_F(Graphics, BadSizesAreRefusedAndAClosedWindowDrawsNothing)
{
    graphics_close();
    EXPECT_EQ(graphics_open(0, 10), -1);
    EXPECT_EQ(graphics_open(10, -1), -1);
    EXPECT_EQ(graphics_open(5000, 10), -1);
    const unsigned long updates = lastFrame().updates;
    graphics_circle_fill(1, 1, 1, 255, 0, 0);
    graphics_update();
    graphics_clear();
    EXPECT_EQ(lastFrame().updates, updates);

    ASSERT_EQ(graphics_open(7, 3), 0);
    const Shown frame = drawOne(6, 2, 1);
    EXPECT_EQ(frame.width, 7);
    EXPECT_EQ(frame.height, 3);
    EXPECT_EQ(frame.count(Red), 3);
}

TEST_F(Graphics, UpdateWritesThirtyTwoBitPixelsToTheFramebuffer)
{
    const std::vector<std::uint8_t> initial = screenMemory(32);
    framebuffer().var.red = {16, 8, 0};
    framebuffer().var.green = {8, 8, 0};
    framebuffer().var.blue = {0, 8, 0};
    ASSERT_EQ(graphics_open(100, 100), 0);
    graphics_circle_fill(10, 10, 0, 255, 128, 1);
    graphics_circle_fill(63, 47, 0, 0, 0, 255);
    graphics_update();

    const std::vector<std::uint8_t> screen = screenAfterUpdate();
    const unsigned line = framebuffer().fix.line_length;
    std::uint32_t pixel;
    std::memcpy(&pixel, &screen[10 * line + 10 * 4], 4);
    EXPECT_EQ(pixel, 0xFF8001u);
    std::memcpy(&pixel, &screen[47 * line + 63 * 4], 4);
    EXPECT_EQ(pixel, 0x0000FFu);
    std::memcpy(&pixel, &screen[0], 4);
    EXPECT_EQ(pixel, 0u);
    // The window is wider and taller than the screen: the padding at the end
    // of each line was left alone.
    for (unsigned row = 0; row < 48; ++row)
        for (unsigned b = 64 * 4; b < line; ++b)
            ASSERT_EQ(screen[row * line + b], 0xAA) << "row " << row << " byte " << b;
}

TEST_F(Graphics, UpdateWritesSixteenBitPixelsToTheFramebuffer)
{
    screenMemory(16); // bitfields left 0: the usual 5-6-5 layout
    ASSERT_EQ(graphics_open(20, 10), 0);
    graphics_circle_fill(2, 3, 0, 255, 0, 0);
    graphics_circle_fill(4, 3, 0, 0, 255, 0);
    graphics_circle_fill(6, 3, 0, 0, 0, 255);
    graphics_update();

    const std::vector<std::uint8_t> screen = screenAfterUpdate();
    const unsigned line = framebuffer().fix.line_length;
    auto at = [&](unsigned x, unsigned y) {
        std::uint16_t v;
        std::memcpy(&v, &screen[y * line + x * 2], 2);
        return v;
    };
    EXPECT_EQ(at(2, 3), 0xF800);
    EXPECT_EQ(at(4, 3), 0x07E0);
    EXPECT_EQ(at(6, 3), 0x001F);
    EXPECT_EQ(at(0, 0), 0x0000);
    // Beyond the 20 x 10 window the screen is untouched.
    EXPECT_EQ(at(20, 0), 0xAAAA);
    EXPECT_EQ(at(0, 10), 0xAAAA);
}
