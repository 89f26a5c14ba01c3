#include "private/camera_frame_p.h"

#include <cstdint>
#include <cstring>

namespace Camera {

namespace {

inline unsigned char clamp(int value)
{
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

inline void toRgb(int y, int u, int v, unsigned char *rgb)
{
    const int c = 298 * (y - 16) + 128;
    const int d = u - 128;
    const int e = v - 128;
    rgb[0] = clamp((c + 409 * e) >> 8);
    rgb[1] = clamp((c - 100 * d - 208 * e) >> 8);
    rgb[2] = clamp((c + 516 * d) >> 8);
}

// Whether the eight bytes at `in` are `twice`.
inline bool alike(const unsigned char *in, std::uint64_t twice)
{
    std::uint64_t here;
    std::memcpy(&here, in, sizeof here);
    return here == twice;
}

} // namespace

void convertYuyv(const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine, Frame &frame)
{
    frame.width = width;
    frame.height = height;
    frame.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    unsigned char *out = frame.rgb.data();
    for (int row = 0; row < height; ++row) {
        const unsigned char *in = yuyv + static_cast<std::size_t>(row) * bytesPerLine;
        std::uint32_t before = 0;
        for (int x = 0; x < width;) {
            std::uint32_t pair;
            std::memcpy(&pair, in, sizeof pair);
            if (x > 0 && pair == before) {
                // A pair sent like the one before (a plain stretch of the
                // picture) comes out alike, and so do the next ones, two
                // at a time, as long as they are.
                const std::uint64_t twice = static_cast<std::uint64_t>(pair) << 32 | pair;
                std::memcpy(out, out - 6, 6);
                for (x += 2, in += 4, out += 6; x + 4 <= width && alike(in, twice); x += 4, in += 8, out += 12)
                    std::memcpy(out, out - 12, 12);
                continue;
            }
            before = pair;
            toRgb(in[0], in[1], in[3], out);
            toRgb(in[2], in[1], in[3], out + 3);
            x += 2;
            in += 4;
            out += 6;
        }
    }
}

} // namespace Camera
