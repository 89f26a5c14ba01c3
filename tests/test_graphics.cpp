#include "kestrix/graphics.h"

#include "video/fake_framebuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using kxsim::FakeFramebuffer;

constexpr std::uint32_t Red = 0xFF0000;
constexpr std::uint8_t Untouched = 0xAA;

FakeFramebuffer &screen()
{
    return FakeFramebuffer::instance();
}

// What the screen shows in its top-left w x h pixels.
struct Shown
{
    int width = 0, height = 0;
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

Shown shown(int width = 100, int height = 100)
{
    Shown s;
    s.width = width;
    s.height = height;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            s.pixels.push_back(screen().rgb(x, y));
    return s;
}

Shown drawOne(int x, int y, int radius)
{
    graphics_clear();
    graphics_circle_fill(x, y, radius, 255, 0, 0);
    graphics_update();
    return shown();
}

// Every test draws on a 32-bit screen of exactly the window's 100 x 100
// pixels, all of its memory 0xAA until something is shown.
class Graphics : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(screen().enable({100, 100, 32}, Untouched));
        ASSERT_EQ(graphics_open(100, 100), 0);
    }
    void TearDown() override
    {
        graphics_close();
        screen().disable();
    }

    // A screen of 64 x 48 pixels whose lines carry 16 bytes of padding.
    void smallScreen(unsigned bitsPerPixel, fb_bitfield red = {}, fb_bitfield green = {},
                     fb_bitfield blue = {})
    {
        FakeFramebuffer::Screen s{64, 48, bitsPerPixel, 16, red, green, blue};
        ASSERT_TRUE(screen().enable(s, Untouched));
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
    EXPECT_EQ(shown().at(10, 10), 0xFF0080u);
    graphics_clear();
    graphics_update();
    EXPECT_EQ(shown().count(0), 100 * 100);
}

TEST_F(Graphics, OnlyAnUpdateShowsWhatWasDrawn)
{
    graphics_circle_fill(20, 20, 3, 255, 0, 0);
    EXPECT_EQ(screen().raw(20, 20), 0xAAAAAAAAu);
    graphics_update();
    graphics_clear();
    graphics_circle_fill(80, 80, 3, 0, 255, 0);
    const Shown before = shown();
    EXPECT_EQ(before.at(20, 20), Red);
    EXPECT_EQ(before.at(80, 80), 0u);
    graphics_update();
    const Shown after = shown();
    EXPECT_EQ(after.at(20, 20), 0u);
    EXPECT_EQ(after.at(80, 80), 0x00FF00u);
}

TEST_F(Graphics, BadSizesAreRefusedAndAClosedWindowDrawsNothing)
{
    graphics_close();
    EXPECT_EQ(graphics_open(0, 10), -1);
    EXPECT_EQ(graphics_open(10, -1), -1);
    EXPECT_EQ(graphics_open(5000, 10), -1);
    graphics_circle_fill(1, 1, 1, 255, 0, 0);
    graphics_update();
    graphics_clear();
    const std::vector<std::uint8_t> untouched = screen().memory();
    EXPECT_EQ(untouched, std::vector<std::uint8_t>(100 * 4 * 100, Untouched));

    // A small window covers only its own corner of the screen.
    ASSERT_EQ(graphics_open(7, 3), 0);
    drawOne(6, 2, 1);
    const Shown corner = shown(7, 3);
    EXPECT_EQ(corner.count(Red), 3);
    EXPECT_EQ(corner.count(0), 7 * 3 - 3);
    EXPECT_EQ(screen().raw(7, 2), 0xAAAAAAAAu);
    EXPECT_EQ(screen().raw(6, 3), 0xAAAAAAAAu);
}

TEST_F(Graphics, UpdateWritesThirtyTwoBitPixelsToTheFramebuffer)
{
    smallScreen(32, {16, 8, 0}, {8, 8, 0}, {0, 8, 0});
    ASSERT_EQ(graphics_open(100, 100), 0);
    graphics_circle_fill(10, 10, 0, 255, 128, 1);
    graphics_circle_fill(63, 47, 0, 0, 0, 255);
    graphics_update();

    EXPECT_EQ(screen().raw(10, 10), 0xFF8001u);
    EXPECT_EQ(screen().raw(63, 47), 0x0000FFu);
    EXPECT_EQ(screen().raw(0, 0), 0u);
    // The window is wider and taller than the screen: the padding at the end
    // of each line was left alone.
    const std::vector<std::uint8_t> memory = screen().memory();
    const unsigned line = screen().lineLength();
    ASSERT_EQ(memory.size(), line * 48u);
    for (unsigned row = 0; row < 48; ++row)
        for (unsigned b = 64 * 4; b < line; ++b)
            ASSERT_EQ(memory[row * line + b], Untouched) << "row " << row << " byte " << b;
}

TEST_F(Graphics, UpdateWritesSixteenBitPixelsToTheFramebuffer)
{
    smallScreen(16); // bitfields left 0: the usual 5-6-5 layout
    ASSERT_EQ(graphics_open(20, 10), 0);
    graphics_circle_fill(2, 3, 0, 255, 0, 0);
    graphics_circle_fill(4, 3, 0, 0, 255, 0);
    graphics_circle_fill(6, 3, 0, 0, 0, 255);
    graphics_update();

    EXPECT_EQ(screen().raw(2, 3), 0xF800u);
    EXPECT_EQ(screen().raw(4, 3), 0x07E0u);
    EXPECT_EQ(screen().raw(6, 3), 0x001Fu);
    EXPECT_EQ(screen().raw(0, 0), 0x0000u);
    EXPECT_EQ(screen().rgb(2, 3), 0xFF0000u);
    // Beyond the 20 x 10 window the screen is untouched.
    EXPECT_EQ(screen().raw(20, 0), 0xAAAAu);
    EXPECT_EQ(screen().raw(0, 10), 0xAAAAu);
}
