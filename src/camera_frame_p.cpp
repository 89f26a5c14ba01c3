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
        // A pair sent like the one before it (a plain stretch of the
        // picture) comes out alike: two at a time while both are.
        std::uint32_t before = 0;
        std::uint64_t twice = 0;
        unsigned char converted[12];
        for (int x = 0; x < width;) {
            std::uint32_t pair;
            std::memcpy(&pair, in, sizeof pair);
            if (x == 0 || pair != before) {
                before = pair;
                std::memcpy(&twice, in, 4);
                std::memcpy(reinterpret_cast<unsigned char *>(&twice) + 4, in, 4);
                toRgb(in[0], in[1], in[3], converted);
                toRgb(in[2], in[1], in[3], converted + 3);
                std::memcpy(converted + 6, converted, 6);
            } else if (x + 4 <= width && alike(in, twice)) {
                do {
                    std::memcpy(out, converted, 12);
                    x += 4;
                    in += 8;
                    out += 12;
                } while (x + 4 <= width && alike(in, twice));
                continue;
            }
            std::memcpy(out, converted, 6);
            x += 2;
            in += 4;
            out += 6;
        }
    }
}

} // namespace Camera
