#ifndef KESTRIX_PRIVATE_CAMERA_TRACKING_P_H
#define KESTRIX_PRIVATE_CAMERA_TRACKING_P_H

#include "private/camera_frame_p.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Camera {

// A colour channel: a box in RGB or HSV space and the smallest blob worth
// reporting. In HSV, component 0 is the hue in degrees (0-359; a low bound
// above the high bound wraps through red, 340-20 say), 1 the saturation and
// 2 the value (0-255 each). Every bound is inclusive.
struct Channel
{
    enum class Space { Rgb, Hsv };

    Space space = Space::Rgb;
    int low[3] = {0, 0, 0};
    int high[3] = {255, 255, 255};
    int minArea = 1; // pixels
    std::string name;
};

// One blob: an 8-connected set of pixels of one channel.
struct Object
{
    int centerX = -1; // mean column of its pixels, rounded down
    int centerY = -1;
    int area = 0;     // pixels
    int left = -1;    // bounding box, inclusive
    int top = -1;
    int right = -1;
    int bottom = -1;

    // The share of its bounding box that it fills, in (0, 1].
    double confidence() const;
};

// Hue in degrees, saturation and value of an RGB colour, as channels
// compare them.
void rgbToHsv(const unsigned char rgb[3], int hsv[3]);

// Finds the blobs of up to MaxChannels channels in one pass over a frame.
// Each channel's blobs come largest first; blobs of equal area in the order
// in which their first pixel (top row, then leftmost) appears. Blobs under
// the channel's minimum area are left out.
class Tracker
{
public:
    static constexpr std::size_t MaxChannels = 32;

    // Takes at most MaxChannels channels.
    void setChannels(const std::vector<Channel> &channels);
    const std::vector<Channel> &channels() const { return m_channels; }

    // `objects` gets one list per channel.
    void track(const Frame &frame, std::vector<std::vector<Object>> &objects);

private:
    struct Run
    {
        int x0;
        int x1;
        int y;
        int parent;
    };
    struct ChannelRuns
    {
        std::vector<Run> runs;
        std::size_t previousRow = 0; // first run of the row above
        std::size_t currentRow = 0;  // first run of this row
        std::size_t cursor = 0;      // the first run above not left of the next
        int start = 0;               // of the run now open
    };
    struct Sums
    {
        long long area;
        long long x;
        long long y;
        int left;
        int top;
        int right;
        int bottom;
    };

    void closeRun(std::size_t channel, int x0, int x1, int y);
    static int root(std::vector<Run> &runs, int run);
    void collect(std::size_t channel, std::vector<Object> &objects);

    std::vector<Channel> m_channels;
    // Bit c of m_red[r] & m_green[g] & m_blue[b] says whether channel c may
    // take the colour; HSV channels pass here and are decided per pixel.
    std::uint32_t m_red[256] = {};
    std::uint32_t m_green[256] = {};
    std::uint32_t m_blue[256] = {};
    std::uint32_t m_hsvChannels = 0;
    std::vector<ChannelRuns> m_runs;
    std::vector<std::size_t> m_slots;
    std::vector<Sums> m_sums;
};

} // namespace Camera

#endif
