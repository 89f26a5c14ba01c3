#include "world/camera_floor.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

namespace {

constexpr double Spare = 1e-6;

double distanceToSegment(Point p, Point a, Point b)
{
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    const double t = length2 > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length2, 0.0, 1.0) : 0;
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

bool segmentsCross(Point a, Point b, Point c, Point d)
{
    auto side = [](Point p, Point q, Point r) { return (q.x - p.x) * (r.y - p.y) - (q.y - p.y) * (r.x - p.x); };
    const double d1 = side(c, d, a), d2 = side(c, d, b), d3 = side(a, b, c), d4 = side(a, b, d);
    return ((d1 > 0) != (d2 > 0)) && ((d3 > 0) != (d4 > 0));
}

// Nearest and farthest distance from the rectangle to the segment a-b. The
// farthest is at a corner (the distance to a segment is convex).
void distances(const Rect &r, Point a, Point b, double &nearest, double &farthest)
{
    const Point corners[4] = {{r.x0, r.y0}, {r.x1, r.y0}, {r.x1, r.y1}, {r.x0, r.y1}};
    farthest = 0;
    nearest = INFINITY;
    for (int i = 0; i < 4; ++i) {
        const double d = distanceToSegment(corners[i], a, b);
        farthest = std::max(farthest, d);
        nearest = std::min(nearest, d);
        if (segmentsCross(corners[i], corners[(i + 1) % 4], a, b))
            nearest = 0;
    }
    for (Point p : {a, b}) {
        if (p.x >= r.x0 && p.x <= r.x1 && p.y >= r.y0 && p.y <= r.y1)
            nearest = 0;
        const double dx = std::max({r.x0 - p.x, 0.0, p.x - r.x1}), dy = std::max({r.y0 - p.y, 0.0, p.y - r.y1});
        nearest = std::min(nearest, std::hypot(dx, dy));
    }
}

} // namespace

bool floorUniformOver(const World &world, double x0, double y0, double x1, double y1)
{
    const Rect r{x0, y0, x1, y1};
    // A zone the sensors see: the rectangle lies wholly outside it, or wholly
    // inside one that is itself a rectangle; anything else is not taken as
    // plain (a polygon's edge may cross it).
    for (const Zone &zone : world.zones) {
        if (!zone.reflectance || zone.polygon.empty())
            continue;
        Rect box{zone.polygon[0].x, zone.polygon[0].y, zone.polygon[0].x, zone.polygon[0].y};
        for (const Point &p : zone.polygon) {
            box.x0 = std::min(box.x0, p.x);
            box.y0 = std::min(box.y0, p.y);
            box.x1 = std::max(box.x1, p.x);
            box.y1 = std::max(box.y1, p.y);
        }
        const bool apart = r.x1 < box.x0 - Spare || r.x0 > box.x1 + Spare || r.y1 < box.y0 - Spare || r.y0 > box.y1 + Spare;
        if (apart)
            continue;
        bool rectangle = zone.polygon.size() == 4;
        for (const Point &p : zone.polygon)
            rectangle = rectangle && (p.x == box.x0 || p.x == box.x1) && (p.y == box.y0 || p.y == box.y1);
        const bool inside =
            r.x0 >= box.x0 + Spare && r.x1 <= box.x1 - Spare && r.y0 >= box.y0 + Spare && r.y1 <= box.y1 - Spare;
        if (!rectangle || !inside)
            return false;
    }
    for (const Mark &mark : world.marks) {
        if (mark.kind == Mark::Kind::Area) {
            const Rect &a = mark.area;
            const bool inside = r.x0 >= a.x0 + Spare && r.x1 <= a.x1 - Spare && r.y0 >= a.y0 + Spare && r.y1 <= a.y1 - Spare;
            const bool apart = r.x1 < a.x0 - Spare || r.x0 > a.x1 + Spare || r.y1 < a.y0 - Spare || r.y0 > a.y1 + Spare;
            if (!inside && !apart)
                return false;
            continue;
        }
        // On the tape wherever some piece of its centre line is within half
        // its width; all on if one piece is for the whole rectangle, all off
        // if none comes near it.
        const std::size_t n = mark.points.size();
        if (n == 0)
            continue;
        const std::size_t segments = mark.closed ? n : n - 1;
        const double half = mark.width / 2;
        bool on = false, near = false;
        for (std::size_t k = 0; k < segments && !on; ++k) {
            double nearest, farthest;
            distances(r, mark.points[k], mark.points[(k + 1) % n], nearest, farthest);
            on = farthest <= half - Spare;
            near = near || nearest < half + Spare;
        }
        if (!on && near)
            return false;
    }
    return true;
}

} // namespace kxsim
