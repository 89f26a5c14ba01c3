#include "private/camera_tracking_p.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace Camera {

namespace {

// Rounds num / den to the nearest whole number; den > 0.
int roundedDivision(int num, int den)
{
    return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
}

bool hsvInside(const Channel &channel, const int hsv[3])
{
    const int hue = hsv[0];
    const bool hueInside = channel.low[0] <= channel.high[0]
        ? hue >= channel.low[0] && hue <= channel.high[0]
        : hue >= channel.low[0] || hue <= channel.high[0];
    return hueInside && hsv[1] >= channel.low[1] && hsv[1] <= channel.high[1] && hsv[2] >= channel.low[2]
        && hsv[2] <= channel.high[2];
}

// How many pixels after the one at `pixel` are like it, up to `end` (the end
// of its row): the bytes repeat every three for as long, which is checked
// eight at a time.
int likeThis(const unsigned char *pixel, const unsigned char *end)
{
    const auto room = static_cast<std::size_t>(end - pixel) - 3; // bytes with one three further on
    std::size_t i = 0;
    for (; i + 8 <= room; i += 8) {
        std::uint64_t here, further;
        std::memcpy(&here, pixel + i, sizeof here);
        std::memcpy(&further, pixel + i + 3, sizeof further);
        if (here != further)
            break;
    }
    while (i < room && pixel[i] == pixel[i + 3])
        ++i;
    return static_cast<int>(i / 3);
}

} // namespace

double Object::confidence() const
{
    const long long box = static_cast<long long>(right - left + 1) * (bottom - top + 1);
    return box > 0 ? static_cast<double>(area) / static_cast<double>(box) : 0.0;
}

void rgbToHsv(const unsigned char rgb[3], int hsv[3])
{
    const int r = rgb[0], g = rgb[1], b = rgb[2];
    const int max = std::max(r, std::max(g, b));
    const int min = std::min(r, std::min(g, b));
    const int delta = max - min;
    int hue = 0;
    if (delta > 0) {
        if (max == r)
            hue = roundedDivision(60 * (g - b), delta);
        else if (max == g)
            hue = 120 + roundedDivision(60 * (b - r), delta);
        else
            hue = 240 + roundedDivision(60 * (r - g), delta);
        if (hue < 0)
            hue += 360;
        if (hue >= 360)
            hue -= 360;
    }
    hsv[0] = hue;
    hsv[1] = max > 0 ? roundedDivision(255 * delta, max) : 0;
    hsv[2] = max;
}

void Tracker::setChannels(const std::vector<Channel> &channels)
{
    m_channels.assign(channels.begin(), channels.begin() + static_cast<std::ptrdiff_t>(std::min(channels.size(), MaxChannels)));
    std::fill(std::begin(m_red), std::end(m_red), 0);
    std::fill(std::begin(m_green), std::end(m_green), 0);
    std::fill(std::begin(m_blue), std::end(m_blue), 0);
    m_hsvChannels = 0;
    std::uint32_t *tables[3] = {m_red, m_green, m_blue};
    for (std::size_t c = 0; c < m_channels.size(); ++c) {
        const Channel &channel = m_channels[c];
        const std::uint32_t bit = 1u << c;
        const bool hsv = channel.space == Channel::Space::Hsv;
        if (hsv)
            m_hsvChannels |= bit;
        for (int i = 0; i < 3; ++i)
            for (int value = 0; value < 256; ++value)
                if (hsv || (value >= channel.low[i] && value <= channel.high[i]))
                    tables[i][value] |= bit;
    }
    m_runs.assign(m_channels.size(), ChannelRuns());
}

void Tracker::track(const Frame &frame, std::vector<std::vector<Object>> &objects)
{
    const std::size_t count = m_channels.size();
    objects.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
        objects[c].clear();
        m_runs[c].runs.clear();
        m_runs[c].currentRow = 0;
    }
    if (count == 0 || frame.width <= 0 || frame.height <= 0)
        return;

    const unsigned char *pixel = frame.rgb.data();
    // Neighbouring pixels are often alike, so an HSV decision is kept for
    // the next pixel of the same colour.
    std::uint32_t lastColour = 0xffffffffu;
    std::uint32_t lastMask = 0;
    for (int y = 0; y < frame.height; ++y) {
        for (ChannelRuns &channel : m_runs) {
            channel.previousRow = channel.currentRow;
            channel.currentRow = channel.runs.size();
            channel.cursor = channel.previousRow;
        }
        std::uint32_t open = 0;
        const unsigned char *const rowEnd = pixel + static_cast<std::ptrdiff_t>(frame.width) * 3;
        for (int x = 0; x < frame.width; ++x, pixel += 3) {
            std::uint32_t mask = m_red[pixel[0]] & m_green[pixel[1]] & m_blue[pixel[2]];
            if (mask & m_hsvChannels) {
                const std::uint32_t colour = pixel[0] | (pixel[1] << 8) | (pixel[2] << 16);
                if (colour != lastColour) {
                    int hsv[3];
                    rgbToHsv(pixel, hsv);
                    lastMask = mask;
                    for (std::uint32_t pending = mask & m_hsvChannels; pending != 0; pending &= pending - 1) {
                        const int c = __builtin_ctz(pending);
                        if (!hsvInside(m_channels[static_cast<std::size_t>(c)], hsv))
                            lastMask &= ~(1u << c);
                    }
                    lastColour = colour;
                }
                mask = lastMask;
            }
            if (mask != open) {
                for (std::uint32_t changed = mask ^ open; changed != 0; changed &= changed - 1) {
                    const int c = __builtin_ctz(changed);
                    if (mask & (1u << c))
                        m_runs[static_cast<std::size_t>(c)].start = x;
                    else
                        closeRun(static_cast<std::size_t>(c), m_runs[static_cast<std::size_t>(c)].start, x - 1, y);
                }
                open = mask;
            }
            // Pixels like this one are in the same channels: nothing opens
            // or closes until the colour changes. Looked for every eighth
            // pixel, which costs a camera's grainy picture next to nothing.
            if ((x & 7) == 0 && pixel + 6 <= rowEnd && pixel[0] == pixel[3] && pixel[1] == pixel[4]
                && pixel[2] == pixel[5]) {
                const int same = likeThis(pixel, rowEnd);
                x += same;
                pixel += static_cast<std::ptrdiff_t>(same) * 3;
            }
        }
        for (; open != 0; open &= open - 1) {
            const auto c = static_cast<std::size_t>(__builtin_ctz(open));
            closeRun(c, m_runs[c].start, frame.width - 1, y);
        }
    }
    for (std::size_t c = 0; c < count; ++c)
        collect(c, objects[c]);
}

void Tracker::closeRun(std::size_t channel, int x0, int x1, int y)
{
    ChannelRuns &state = m_runs[channel];
    std::vector<Run> &runs = state.runs;
    const int index = static_cast<int>(runs.size());
    runs.push_back(Run{x0, x1, y, index});
    // Runs of the row above, left to right; 8-connected means touching
    // diagonally is enough.
    std::size_t above = state.cursor;
    while (above < state.currentRow && runs[above].x1 + 1 < x0)
        ++above;
    state.cursor = above;
    for (; above < state.currentRow && runs[above].x0 <= x1 + 1; ++above) {
        const int a = root(runs, index);
        const int b = root(runs, static_cast<int>(above));
        // The earliest run stays the root, so a blob's root is its first run.
        if (a < b)
            runs[static_cast<std::size_t>(b)].parent = a;
        else if (b < a)
            runs[static_cast<std::size_t>(a)].parent = b;
    }
}

int Tracker::root(std::vector<Run> &runs, int run)
{
    while (runs[static_cast<std::size_t>(run)].parent != run) {
        Run &current = runs[static_cast<std::size_t>(run)];
        current.parent = runs[static_cast<std::size_t>(current.parent)].parent;
        run = current.parent;
    }
    return run;
}

void Tracker::collect(std::size_t channel, std::vector<Object> &objects)
{
    std::vector<Run> &runs = m_runs[channel].runs;
    m_slots.resize(runs.size());
    m_sums.clear();
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const Run &run = runs[i];
        const auto top = static_cast<std::size_t>(root(runs, static_cast<int>(i)));
        if (top == i) {
            m_slots[i] = m_sums.size();
            m_sums.push_back(Sums{0, 0, 0, run.x0, run.y, run.x1, run.y});
        }
        Sums &sums = m_sums[m_slots[top]];
        const long long length = run.x1 - run.x0 + 1;
        sums.area += length;
        sums.x += (static_cast<long long>(run.x0) + run.x1) * length / 2;
        sums.y += static_cast<long long>(run.y) * length;
        sums.left = std::min(sums.left, run.x0);
        sums.right = std::max(sums.right, run.x1);
        sums.bottom = run.y;
    }
    const int minArea = m_channels[channel].minArea;
    for (const Sums &sums : m_sums) {
        if (sums.area < minArea)
            continue;
        Object object;
        object.area = static_cast<int>(sums.area);
        object.centerX = static_cast<int>(sums.x / sums.area);
        object.centerY = static_cast<int>(sums.y / sums.area);
        object.left = sums.left;
        object.top = sums.top;
        object.right = sums.right;
        object.bottom = sums.bottom;
        objects.push_back(object);
    }
    std::stable_sort(objects.begin(), objects.end(),
                     [](const Object &a, const Object &b) { return a.area > b.area; });
}

} // namespace Camera
