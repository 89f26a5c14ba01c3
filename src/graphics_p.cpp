#include "private/graphics_p.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Private {

namespace {

constexpr const char *FramebufferPath = "/dev/fb0";

std::uint32_t clampComponent(int c)
{
    return static_cast<std::uint32_t>(std::clamp(c, 0, 255));
}

} // namespace

Graphics &Graphics::instance()
{
    static Graphics s_instance;
    return s_instance;
}

bool Graphics::open(int width, int height)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (width < 1 || width > MaxSide || height < 1 || height > MaxSide)
        return false;
    m_width = width;
    m_height = height;
    m_pixels.assign(static_cast<std::size_t>(width) * height, 0);
    m_open = true;
    openFramebuffer();
    return true;
}

void Graphics::clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_open)
        std::fill(m_pixels.begin(), m_pixels.end(), 0);
}

void Graphics::fillCircle(int x, int y, int radius, int r, int g, int b)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_open || radius < 0)
        return;
    const std::uint32_t colour = (clampComponent(r) << 16) | (clampComponent(g) << 8) | clampComponent(b);
    // 64-bit throughout: centres and radii far outside the window must
    // neither overflow nor wrap back into it.
    const std::int64_t cx = x, cy = y, rr = radius;
    const std::int64_t top = std::max<std::int64_t>(0, cy - rr);
    const std::int64_t bottom = std::min<std::int64_t>(m_height - 1, cy + rr);
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
        const std::int64_t right = std::min<std::int64_t>(m_width - 1, cx + dx);
        for (std::int64_t column = left; column <= right; ++column)
            m_pixels[static_cast<std::size_t>(row * m_width + column)] = colour;
    }
}

void Graphics::update()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_open && m_fb.fd >= 0)
        showOnFramebuffer();
}

void Graphics::close()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_open = false;
    m_width = m_height = 0;
    m_pixels.clear();
    closeFramebuffer();
}

void Graphics::closeFramebuffer()
{
    if (m_fb.fd >= 0)
        ::close(m_fb.fd);
    m_fb = Framebuffer();
}

// Opens /dev/fb0 when there is one at 16 or 32 bits per pixel; a missing or
// unusable framebuffer leaves the window in memory only.
void Graphics::openFramebuffer()
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
    auto channelOr = [](const fb_bitfield &field, unsigned offset, unsigned length) {
        if (field.length == 0 || field.length > 8 || field.offset + field.length > 32)
            return Channel{offset, length};
        return Channel{field.offset, field.length};
    };
    m_fb.fd = fd;
    m_fb.bytesPerPixel = var.bits_per_pixel / 8;
    m_fb.columns = var.xres;
    m_fb.rows = var.yres;
    m_fb.lineLength = fix.line_length;
    m_fb.origin = static_cast<unsigned long>(var.yoffset) * fix.line_length
                  + static_cast<unsigned long>(var.xoffset) * m_fb.bytesPerPixel;
    if (var.bits_per_pixel == 16) {
        m_fb.red = channelOr(var.red, 11, 5);
        m_fb.green = channelOr(var.green, 5, 6);
        m_fb.blue = channelOr(var.blue, 0, 5);
    } else {
        m_fb.red = channelOr(var.red, 16, 8);
        m_fb.green = channelOr(var.green, 8, 8);
        m_fb.blue = channelOr(var.blue, 0, 8);
    }
}

std::uint32_t Graphics::pack(std::uint32_t rgb) const
{
    auto place = [](std::uint32_t component, const Channel &c) {
        return (component >> (8 - c.length)) << c.offset;
    };
    return place((rgb >> 16) & 0xFF, m_fb.red) | place((rgb >> 8) & 0xFF, m_fb.green)
           | place(rgb & 0xFF, m_fb.blue);
}

void Graphics::showOnFramebuffer()
{
    const unsigned columns = std::min<unsigned>(m_width, m_fb.columns);
    const unsigned rows = std::min<unsigned>(m_height, m_fb.rows);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(columns) * m_fb.bytesPerPixel);
    for (unsigned row = 0; row < rows; ++row) {
        const std::uint32_t *source = &m_pixels[static_cast<std::size_t>(row) * m_width];
        for (unsigned column = 0; column < columns; ++column) {
            const std::uint32_t value = pack(source[column]);
            if (m_fb.bytesPerPixel == 2) {
                const std::uint16_t v16 = static_cast<std::uint16_t>(value);
                std::memcpy(&line[column * 2], &v16, 2);
            } else {
                std::memcpy(&line[column * 4], &value, 4);
            }
        }
        const off_t offset = static_cast<off_t>(m_fb.origin + row * m_fb.lineLength);
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::pwrite(m_fb.fd, line.data() + done, line.size() - done,
                                       offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return; // the screen went away; the window is still kept
            done += static_cast<std::size_t>(n);
        }
    }
}

} // namespace Private
