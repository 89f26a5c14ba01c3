#ifndef KESTRIX_PRIVATE_CAMERA_FRAME_P_H
#define KESTRIX_PRIVATE_CAMERA_FRAME_P_H

#include <cstddef>
#include <vector>

namespace Camera {

// One picture: `width` x `height` pixels, three bytes (red, green, blue) per
// pixel, row after row with no padding.
struct Frame
{
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// Converts a YUYV picture (two pixels in four bytes: Y0 U Y1 V, rows
// `bytesPerLine` apart) into `frame`, reusing its storage. `width` must be
// even. Studio-range BT.601, the encoding of USB cameras.
void convertYuyv(const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine, Frame &frame);

} // namespace Camera

#endif
