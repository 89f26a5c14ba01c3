// The fast view's floor in rows: a square that provably sees nothing but
// floor, painted a row at a time, each row in runs between the places where
// it passes near an edge of the paint on the floor. Only the pixels near an
// edge, and one pixel a run, ask for the floor's shade.
#include "camera/camera_fast.h"

namespace kxsim {

namespace view {

namespace {

// Where the line a + s d (s from 0 to 1) comes within `reach` of the edge's
// segment: the stretch [low, high] of s; false when it keeps further away. The
// points within reach of a segment make a convex band with round ends, the
// union of a disc round each end and a rectangle along it, so the stretch
// reaches from the lowest to the highest s of the three.
bool within(Point2 a, Point2 d, const FloorEdge &edge, double reach, double &low, double &high)
{
    low = Infinity;
    high = -Infinity;
    auto take = [&](double s0, double s1) {
        low = std::min(low, s0);
        high = std::max(high, s1);
    };
    const double dd = d.x * d.x + d.y * d.y;
    for (const Point2 centre : {Point2{edge.ax, edge.ay}, Point2{edge.bx, edge.by}}) {
        const double fx = a.x - centre.x, fy = a.y - centre.y;
        const double b = fx * d.x + fy * d.y, c = fx * fx + fy * fy - reach * reach;
        if (dd == 0) {
            if (c <= 0)
                take(0, 1);
            continue;
        }
        const double discriminant = b * b - dd * c;
        if (discriminant >= 0) {
            const double root = std::sqrt(discriminant);
            take((-b - root) / dd, (-b + root) / dd);
        }
    }
    const double ex = edge.bx - edge.ax, ey = edge.by - edge.ay, length = std::sqrt(ex * ex + ey * ey);
    if (length > 0) {
        // Along the segment between its ends and across it within reach.
        double s0 = -Infinity, s1 = Infinity;
        auto slab = [&](double at, double rate, double from, double to) {
            if (rate == 0) {
                if (at < from || at > to)
                    s0 = Infinity;
                return;
            }
            double enter = (from - at) / rate, leave = (to - at) / rate;
            if (enter > leave)
                std::swap(enter, leave);
            s0 = std::max(s0, enter);
            s1 = std::min(s1, leave);
        };
        const double fx = a.x - edge.ax, fy = a.y - edge.ay;
        slab((fx * ex + fy * ey) / length, (d.x * ex + d.y * ey) / length, 0, length);
        slab((fx * ey - fy * ex) / length, (d.x * ey - d.y * ex) / length, -reach, reach);
        if (s0 <= s1)
            take(s0, s1);
    }
    low = std::max(low, 0.0);
    high = std::min(high, 1.0);
    return low <= high;
}

} // namespace

// Paints the square if every ray of it meets the floor inside the field,
// and nothing before it: its corners' rays do, and nothing reaches into the
// pyramid from the lens to where they meet it. Where the floor under the
// square shows one shade all over, the square takes its corners' colour;
// elsewhere it is painted in rows (squares FloorRowsFrom wide or more).
bool FastView::floorOnly(int r0, int c0, int r1, int c1)
{
    const int rows[4] = {r0, r0, r1, r1}, columns[4] = {c0, c1, c1, c0};
    const Vec o = lens.origin;
    std::size_t pixels[4];
    Vec q[4];
    double xLow = Infinity, yLow = Infinity, xHigh = -Infinity, yHigh = -Infinity;
    for (int k = 0; k < 4; ++k) {
        pixels[k] = static_cast<std::size_t>(rows[k]) * static_cast<std::size_t>(width) + static_cast<std::size_t>(columns[k]);
        if (kindOf(surfaces[pixels[k]]) != Kind::Floor)
            return false;
        q[k] = o + distances[pixels[k]] * lens.ray(us[static_cast<std::size_t>(columns[k])], vs[static_cast<std::size_t>(rows[k])]);
        if (!(q[k].x >= Margin && q[k].y >= Margin && q[k].x <= scene.fieldWidth - Margin && q[k].y <= scene.fieldHeight - Margin)
            || !(std::fabs(q[k].x - o.x) <= reach && std::fabs(q[k].y - o.y) <= reach))
            return false;
        xLow = std::min(xLow, q[k].x);
        yLow = std::min(yLow, q[k].y);
        xHigh = std::max(xHigh, q[k].x);
        yHigh = std::max(yHigh, q[k].y);
    }
    bool plain = scene.floorUniform != nullptr;
    for (int k = 1; k < 4 && plain; ++k)
        plain = std::memcmp(out + pixels[k] * 3, out + pixels[0] * 3, 3) == 0;
    plain = plain && scene.floorUniform(xLow - Margin, yLow - Margin, xHigh + Margin, yHigh + Margin);
    if (!plain && (!scene.floorEdges || c1 - c0 < FloorRowsFrom))
        return false;
    if (!clear(q, -1, rows, columns))
        return false;
    if (plain) {
        fill(r0, c0, r1, c1);
        return true;
    }
    edges.clear();
    scene.floorEdges(xLow - Margin, yLow - Margin, xHigh + Margin, yHigh + Margin, edges);
    paintFloor(r0, c0, r1, c1);
    return true;
}

// Each row's pixels meet the floor on a straight line, evenly spaced along
// it: the lens has no roll, so a row's rays all go down alike. Where the line
// comes within Margin of an edge's outline, each pixel is shaded as a traced
// one would be; between those places the shade stays as it is, and the run
// takes the shade of its first pixel.
void FastView::paintFloor(int r0, int c0, int r1, int c1)
{
    const Vec o = lens.origin;
    const double step = 1.0 / (c1 - c0);
    for (int row = r0; row <= r1; ++row) {
        const double v = vs[static_cast<std::size_t>(row)];
        auto floorAt = [&](int column) {
            const Vec ray = lens.ray(us[static_cast<std::size_t>(column)], v);
            const double t = -o.z / ray.z;
            return Point2{o.x + t * ray.x, o.y + t * ray.y};
        };
        const Point2 a = floorAt(c0), b = floorAt(c1), d{b.x - a.x, b.y - a.y};
        unsure.clear();
        const double xLow = std::min(a.x, b.x), xHigh = std::max(a.x, b.x);
        const double yLow = std::min(a.y, b.y), yHigh = std::max(a.y, b.y);
        for (const FloorEdge &edge : edges) {
            // Most of a square's edges pass by most of its rows.
            const double reach = edge.radius + 2 * Margin;
            if (std::min(edge.ax, edge.bx) - reach > xHigh || std::max(edge.ax, edge.bx) + reach < xLow
                || std::min(edge.ay, edge.by) - reach > yHigh || std::max(edge.ay, edge.by) + reach < yLow)
                continue;
            double low, high, innerLow, innerHigh;
            if (!within(a, d, edge, edge.radius + Margin, low, high))
                continue;
            if (edge.radius > Margin && within(a, d, edge, edge.radius - Margin, innerLow, innerHigh)) {
                unsure.push_back({low, innerLow});
                unsure.push_back({innerHigh, high});
            } else {
                unsure.push_back({low, high});
            }
        }
        // The stretches in order, those that overlap made one.
        std::sort(unsure.begin(), unsure.end());
        std::size_t stretches = 0;
        for (const auto &stretch : unsure) {
            if (stretches > 0 && stretch.first <= unsure[stretches - 1].second)
                unsure[stretches - 1].second = std::max(unsure[stretches - 1].second, stretch.second);
            else
                unsure[stretches++] = stretch;
        }
        std::size_t next = 0; // the first stretch that does not end before the pixel
        std::size_t run = ~std::size_t(0);
        unsigned char grey = 0;
        unsigned char *pixel = out + (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c0)) * 3;
        for (int column = c0; column <= c1; ++column, pixel += 3) {
            const double s = (column - c0) * step;
            while (next < stretches && unsure[next].second < s)
                ++next;
            unsigned char shade;
            if (next < stretches && unsure[next].first <= s) {
                const Point2 p = floorAt(column);
                shade = floorGrey(scene, p.x, p.y);
            } else {
                if (run != next) {
                    const Point2 p = floorAt(column);
                    grey = floorGrey(scene, p.x, p.y);
                    run = next;
                }
                shade = grey;
            }
            pixel[0] = pixel[1] = pixel[2] = shade;
        }
    }
}

} // namespace view

} // namespace kxsim
