#include "video/fake_framebuffer.h"

#include "fakes/fake_device.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr const char *FramebufferPath = "/dev/fb0";

class FramebufferFile : public FakeDevice
{
public:
    bool claims(const char *path) const override
    {
        return std::strcmp(path, FramebufferPath) == 0 && FakeFramebuffer::instance().enabled();
    }
    int open(const char *, int flags) override { return FakeFramebuffer::instance().open(flags); }
    int ioctl(int, unsigned long request, void *argument) override
    {
        return FakeFramebuffer::instance().ioctl(request, argument);
    }
};

const Registered<FramebufferFile> s_framebuffer;

unsigned lineLengthOf(const FakeFramebuffer::Screen &screen)
{
    return screen.columns * screen.bitsPerPixel / 8 + screen.paddingBytes;
}

// The component's 8-bit value from a pixel, widened by repeating its top bits.
std::uint32_t component(std::uint32_t pixel, const fb_bitfield &field, unsigned offset, unsigned length)
{
    if (field.length != 0) {
        offset = field.offset;
        length = field.length;
    }
    const std::uint32_t value = (pixel >> offset) & ((1u << length) - 1);
    const std::uint32_t wide = value << (8 - length);
    return wide | (wide >> length);
}

} // namespace

FakeFramebuffer &FakeFramebuffer::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeFramebuffer &s_instance = *new FakeFramebuffer;
    return s_instance;
}

bool FakeFramebuffer::enable(const Screen &screen, std::uint8_t fill)
{
    const int fd = ::memfd_create("kestrix-fb0", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    return enable(screen, fd, fill);
}

bool FakeFramebuffer::enable(const Screen &screen, int fd, std::uint8_t fill)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_memory >= 0)
        realClose(m_memory);
    m_memory = -1;
    const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lineLengthOf(screen)) * screen.rows, fill);
    if (::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        realClose(fd);
        return false;
    }
    m_screen = screen;
    m_memory = fd;
    return true;
}

void FakeFramebuffer::disable()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_memory >= 0)
        realClose(m_memory);
    m_memory = -1;
}

bool FakeFramebuffer::enabled() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_memory >= 0;
}

std::vector<std::uint8_t> FakeFramebuffer::memory() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::uint8_t> bytes;
    if (m_memory < 0)
        return bytes;
    bytes.resize(static_cast<std::size_t>(lineLengthOf(m_screen)) * m_screen.rows);
    const ssize_t n = ::pread(m_memory, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

unsigned FakeFramebuffer::lineLength() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return lineLengthOf(m_screen);
}

std::uint32_t FakeFramebuffer::raw(unsigned x, unsigned y) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const unsigned size = m_screen.bitsPerPixel / 8;
    if (m_memory < 0 || x >= m_screen.columns || y >= m_screen.rows || size > 4)
        return 0;
    std::uint32_t pixel = 0;
    const off_t at = static_cast<off_t>(y) * lineLengthOf(m_screen) + static_cast<off_t>(x) * size;
    if (size == 2) {
        std::uint16_t p16 = 0;
        (void)!::pread(m_memory, &p16, 2, at);
        pixel = p16;
    } else {
        (void)!::pread(m_memory, &pixel, size, at);
    }
    return pixel;
}

std::uint32_t FakeFramebuffer::rgb(unsigned x, unsigned y) const
{
    const std::uint32_t pixel = raw(x, y);
    std::lock_guard<std::mutex> guard(m_lock);
    const bool wide = m_screen.bitsPerPixel == 32;
    return component(pixel, m_screen.red, wide ? 16 : 11, wide ? 8 : 5) << 16
           | component(pixel, m_screen.green, wide ? 8 : 5, wide ? 8 : 6) << 8
           | component(pixel, m_screen.blue, 0, wide ? 8 : 5);
}

int FakeFramebuffer::open(int flags)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_memory < 0) {
        errno = ENOENT;
        return -1;
    }
    // A descriptor of its own onto the same memory, so the library's close
    // leaves the fake's copy open.
    return realOpen(("/proc/self/fd/" + std::to_string(m_memory)).c_str(), flags);
}

int FakeFramebuffer::ioctl(unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (request == FBIOGET_VSCREENINFO) {
        fb_var_screeninfo var{};
        var.xres = var.xres_virtual = m_screen.columns;
        var.yres = var.yres_virtual = m_screen.rows;
        var.bits_per_pixel = m_screen.bitsPerPixel;
        var.red = m_screen.red;
        var.green = m_screen.green;
        var.blue = m_screen.blue;
        std::memcpy(argument, &var, sizeof var);
        return 0;
    }
    if (request == FBIOGET_FSCREENINFO) {
        fb_fix_screeninfo fix{};
        std::strncpy(fix.id, "kestrix-fake", sizeof fix.id - 1);
        fix.smem_len = lineLengthOf(m_screen) * m_screen.rows;
        fix.line_length = lineLengthOf(m_screen);
        fix.visual = FB_VISUAL_TRUECOLOR;
        std::memcpy(argument, &fix, sizeof fix);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

} // namespace kxsim
