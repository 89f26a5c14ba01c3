#ifndef KESTRIX_PRIVATE_GRAPHICS_P_H
#define KESTRIX_PRIVATE_GRAPHICS_P_H

#include <cstdint>
#include <mutex>
#include <vector>

namespace Private {

// The graphics window behind graphics.h: one raster in memory (0x00RRGGBB,
// row by row), copied by update() to the Linux framebuffer /dev/fb0 when
// there is one at 16 or 32 bits per pixel. Every operation is serialised.
class Graphics
{
public:
    static constexpr int MaxSide = 4096;

    static Graphics &instance();

    // False for a size out of range; an open window is then left as it was.
    bool open(int width, int height);
    void clear();
    // Components are clamped to 0..255.
    void fillCircle(int x, int y, int radius, int r, int g, int b);
    void update();
    void close();

    Graphics(const Graphics &) = delete;
    Graphics &operator=(const Graphics &) = delete;

private:
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

    Graphics() = default;

    void openFramebuffer();
    void closeFramebuffer();
    std::uint32_t pack(std::uint32_t rgb) const;
    void showOnFramebuffer();

    std::mutex m_lock;
    bool m_open = false;
    int m_width = 0, m_height = 0;
    std::vector<std::uint32_t> m_pixels;
    Framebuffer m_fb;
};

} // namespace Private

#endif
