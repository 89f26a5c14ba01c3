#include "kestrix/graphics.h"

#include "private/graphics_p.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int MaxSide = 4096;
constexpr const char *FramebufferPath = "/dev/fb0";

struct Channel
{
    unsigned offset;
    unsigned length;
};

struct Framebuffer
{
    int fd = -1;
    unsigned bytesPerPixel = 0;
    unsigned columns = 0, rows = 0; // visible screen
    unsigned long lineLength = 0;
    unsigned long origin = 0; // byte offset of the visible screen's corner
    Channel red{}, green{}, blue{};
};

struct Frame
{
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB, row by row
};

std::mutex s_lock;
bool s_open = false;
Frame s_canvas;
Frame s_shown;
unsigned long s_updates = 0;
Framebuffer s_fb;

void closeFramebuffer()
{
    if (s_fb.fd >= 0)
        ::close(s_fb.fd);
    s_fb = Framebuffer();
}

Channel channelOr(const fb_bitfield &field, unsigned offset, unsigned length)
{
    if (field.length == 0 || field.length > 8 || field.offset + field.length > 32)
        return {offset, length};
    return {field.offset, field.length};
}

// Opens /dev/fb0 when there is one at 16 or 32 bits per pixel; a missing or
// unusable framebuffer leaves the window in memory only.
void openFramebuffer()
{
    closeFramebuffer();
    const int fd = ::open(FramebufferPath, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    std::memset(&var, 0, sizeof var);
    std::memset(&fix, 0, sizeof fix);
    if (::ioctl(fd, FBIOGET_VSCREENINFO, &var) != 0 || ::ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0
        || (var.bits_per_pixel != 16 && var.bits_per_pixel != 32) || fix.line_length == 0) {
        ::close(fd);
        return;
    }
    s_fb.fd = fd;
    s_fb.bytesPerPixel = var.bits_per_pixel / 8;
    s_fb.columns = var.xres;
    s_fb.rows = var.yres;
    s_fb.lineLength = fix.line_length;
    s_fb.origin = static_cast<unsigned long>(var.yoffset) * fix.line_length
                  + static_cast<unsigned long>(var.xoffset) * s_fb.bytesPerPixel;
    if (var.bits_per_pixel == 16) {
        s_fb.red = channelOr(var.red, 11, 5);
        s_fb.green = channelOr(var.green, 5, 6);
        s_fb.blue = channelOr(var.blue, 0, 5);
    } else {
        s_fb.red = channelOr(var.red, 16, 8);
        s_fb.green = channelOr(var.green, 8, 8);
        s_fb.blue = channelOr(var.blue, 0, 8);
    }
}

std::uint32_t pack(std::uint32_t rgb)
{
    auto place = [](std::uint32_t component, const Channel &c) {
        return (component >> (8 - c.length)) << c.offset;
    };
    return place((rgb >> 16) & 0xFF, s_fb.red) | place((rgb >> 8) & 0xFF, s_fb.green)
           | place(rgb & 0xFF, s_fb.blue);
}

void showOnFramebuffer(const Frame &frame)
{
    const unsigned columns = std::min<unsigned>(frame.width, s_fb.columns);
    const unsigned rows = std::min<unsigned>(frame.height, s_fb.rows);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(columns) * s_fb.bytesPerPixel);
    for (unsigned row = 0; row < rows; ++row) {
        const std::uint32_t *source = &frame.pixels[static_cast<std::size_t>(row) * frame.width];
        for (unsigned column = 0; column < columns; ++column) {
            const std::uint32_t value = pack(source[column]);
            if (s_fb.bytesPerPixel == 2) {
                const std::uint16_t v16 = static_cast<std::uint16_t>(value);
                std::memcpy(&line[column * 2], &v16, 2);
            } else {
                std::memcpy(&line[column * 4], &value, 4);
            }
        }
        const off_t offset = static_cast<off_t>(s_fb.origin + row * s_fb.lineLength);
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::pwrite(s_fb.fd, line.data() + done, line.size() - done,
                                       offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // the screen went away; the frame is still kept
            done += static_cast<std::size_t>(n);
        }
    }
}

int clampComponent(int c)
{
    return std::clamp(c, 0, 255);
}

} // namespace

int graphics_open(int width, int height)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (width < 1 || width > MaxSide || height < 1 || height > MaxSide)
        return -1;
    s_canvas.width = width;
    s_canvas.height = height;
    s_canvas.pixels.assign(static_cast<std::size_t>(width) * height, 0);
    s_open = true;
    openFramebuffer();
    return 0;
}

void graphics_clear(void)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (s_open)
        std::fill(s_canvas.pixels.begin(), s_canvas.pixels.end(), 0);
}

void graphics_circle_fill(int x, int y, int radius, int r, int g, int b)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (!s_open || radius < 0)
        return;
    const std::uint32_t colour = (std::uint32_t(clampComponent(r)) << 16)
                                 | (std::uint32_t(clampComponent(g)) << 8)
                                 | std::uint32_t(clampComponent(b));
    // 64-bit throughout: centres and radii far outside the window must
    // neither overflow nor wrap back into it.
    const std::int64_t cx = x, cy = y, rr = radius;
    const std::int64_t top = std::max<std::int64_t>(0, cy - rr);
    const std::int64_t bottom = std::min<std::int64_t>(s_canvas.height - 1, cy + rr);
    for (std::int64_t row = top; row <= bottom; ++row) {
        const std::int64_t dy = row - cy;
        const std::int64_t limit = rr * rr - dy * dy;
        // The widest dx with dx * dx <= limit.
        std::int64_t dx = static_cast<std::int64_t>(std::sqrt(static_cast<double>(limit)));
        while (dx * dx > limit)
            --dx;
        while ((dx + 1) * (dx + 1) <= limit)
            ++dx;
        const std::int64_t left = std::max<std::int64_t>(0, cx - dx);
        const std::int64_t right = std::min<std::int64_t>(s_canvas.width - 1, cx + dx);
        for (std::int64_t column = left; column <= right; ++column)
            s_canvas.pixels[static_cast<std::size_t>(row * s_canvas.width + column)] = colour;
    }
}

void graphics_update(void)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (!s_open)
        return;
    s_shown = s_canvas;
    ++s_updates;
    if (s_fb.fd >= 0)
        showOnFramebuffer(s_shown);
}

void graphics_close(void)
{
    std::lock_guard<std::mutex> guard(s_lock);
    s_open = false;
    s_canvas = Frame();
    closeFramebuffer();
}

unsigned long kestrix_graphics_last_frame(uint32_t *pixels, unsigned long capacity, int *width,
                                          int *height)
{
    std::lock_guard<std::mutex> guard(s_lock);
    if (width != nullptr)
        *width = s_shown.width;
    if (height != nullptr)
        *height = s_shown.height;
    if (pixels != nullptr) {
        const std::size_t count = std::min<std::size_t>(capacity, s_shown.pixels.size());
        std::copy(s_shown.pixels.begin(), s_shown.pixels.begin() + count, pixels);
    }
    return s_updates;
}
