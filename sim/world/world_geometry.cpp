// The world's geometry as the robot's sensors meet it: the floor's
// reflectance under a sensor, the clearance to the nearest obstacle, and how
// far a ray goes before it meets one.
#include "world/world.h"

#include "model/angles.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

namespace {

double squaredDistanceToSegment(Point p, Segment s, Point *nearest)
{
    const double dx = s.b.x - s.a.x, dy = s.b.y - s.a.y;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((p.x - s.a.x) * dx + (p.y - s.a.y) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const Point q{s.a.x + t * dx, s.a.y + t * dy};
    if (nearest)
        *nearest = q;
    return (p.x - q.x) * (p.x - q.x) + (p.y - q.y) * (p.y - q.y);
}

double distanceToSegment(Point p, Segment s, Point *nearest)
{
    return std::sqrt(squaredDistanceToSegment(p, s, nearest));
}

double distanceToRect(Point p, const Rect &r, Point *nearest)
{
    const Point q{std::clamp(p.x, r.x0, r.x1), std::clamp(p.y, r.y0, r.y1)};
    if (nearest)
        *nearest = q;
    return std::hypot(p.x - q.x, p.y - q.y);
}

// Distance along the ray (p, direction d) to segment s, or infinity.
double rayToSegment(Point p, Point d, Segment s)
{
    const double ex = s.b.x - s.a.x, ey = s.b.y - s.a.y;
    const double denominator = d.x * ey - d.y * ex;
    if (std::fabs(denominator) < 1e-12)
        return INFINITY;
    const double wx = s.a.x - p.x, wy = s.a.y - p.y;
    const double t = (wx * ey - wy * ex) / denominator;
    const double u = (wx * d.y - wy * d.x) / denominator;
    return t >= 0 && u >= 0 && u <= 1 ? t : INFINITY;
}

double rayToRect(Point p, Point d, const Rect &r)
{
    const Segment sides[4] = {{{r.x0, r.y0}, {r.x1, r.y0}}, {{r.x1, r.y0}, {r.x1, r.y1}},
                              {{r.x1, r.y1}, {r.x0, r.y1}}, {{r.x0, r.y1}, {r.x0, r.y0}}};
    double best = INFINITY;
    for (const Segment &s : sides)
        best = std::min(best, rayToSegment(p, d, s));
    return best;
}

} // namespace

bool Zone::contains(Point p) const
{
    // Even-odd rule: a ray to +x crosses the edge of the polygon an odd
    // number of times from inside.
    bool inside = false;
    for (std::size_t k = 0, j = polygon.size() - 1; k < polygon.size(); j = k++) {
        const Point &a = polygon[k], &b = polygon[j];
        if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x)
            inside = !inside;
    }
    return inside;
}

bool Mark::segmentCovers(std::size_t k, Point p) const
{
    const Segment piece{points[k], points[(k + 1) % points.size()]};
    return squaredDistanceToSegment(p, piece, nullptr) <= width * width / 4;
}

double World::reflectanceAt(Point p) const
{
    // Zones are painted on the floor; tape goes on top of them.
    double result = floorReflectance;
    for (const Zone &zone : zones)
        if (zone.reflectance && zone.contains(p))
            result = *zone.reflectance;
    for (const Mark &mark : marks) {
        bool on = false;
        if (mark.kind == Mark::Kind::Area) {
            on = p.x >= mark.area.x0 && p.x <= mark.area.x1 && p.y >= mark.area.y0 && p.y <= mark.area.y1;
        } else {
            for (std::size_t k = 0, n = mark.segments(); k < n && !on; ++k)
                on = mark.segmentCovers(k, p);
        }
        if (on)
            result = mark.reflectance;
    }
    return result;
}

namespace {

// Share of a disc of radius `r` on the side x <= t of a line through it.
double discShareBelow(double t, double r)
{
    if (t <= -r)
        return 0;
    if (t >= r)
        return 1;
    return (r * r * (Pi - std::acos(t / r)) + t * std::sqrt(r * r - t * t)) / (Pi * r * r);
}

} // namespace

double World::sensedReflectance(Point p, double radius) const
{
    double result = floorReflectance;
    for (const Mark &mark : marks) {
        if (mark.kind == Mark::Kind::Area) {
            if (p.x >= mark.area.x0 && p.x <= mark.area.x1 && p.y >= mark.area.y0 && p.y <= mark.area.y1)
                result = mark.reflectance;
            continue;
        }
        const std::size_t n = mark.points.size();
        const std::size_t segments = mark.closed ? n : n - 1;
        // Only segments whose box, grown by the reach, holds the point can
        // matter; the others cost four comparisons instead of a projection.
        const double reach = mark.width / 2 + radius;
        double nearest = INFINITY;
        for (std::size_t k = 0; k < segments; ++k) {
            const Point a = mark.points[k], b = mark.points[(k + 1) % n];
            if (p.x < std::min(a.x, b.x) - reach || p.x > std::max(a.x, b.x) + reach
                || p.y < std::min(a.y, b.y) - reach || p.y > std::max(a.y, b.y) + reach)
                continue;
            nearest = std::min(nearest, squaredDistanceToSegment(p, {a, b}, nullptr));
        }
        if (nearest >= reach * reach)
            continue;
        const double d = std::sqrt(nearest);
        const double covered = discShareBelow(mark.width / 2 - d, radius) - discShareBelow(-mark.width / 2 - d, radius);
        result = result * (1 - covered) + mark.reflectance * covered;
    }
    return result;
}

double World::clearance(Point p, Point *nearest) const
{
    double best = INFINITY;
    Point q, bestPoint = p;
    auto consider = [&](double d) {
        if (d < best) {
            best = d;
            bestPoint = q;
        }
    };
    for (const Segment &wall : walls)
        consider(distanceToSegment(p, wall, &q));
    for (const Rect &box : boxes)
        consider(distanceToRect(p, box, &q));
    for (const ColouredObject &object : objects)
        consider(distanceToRect(p, object.box, &q));
    if (nearest)
        *nearest = bestPoint;
    return best;
}

double World::rayDistance(Point p, double angleDeg, double limit) const
{
    const Point d{std::cos(angleDeg * Pi / 180), std::sin(angleDeg * Pi / 180)};
    double best = limit;
    for (const Segment &wall : walls)
        best = std::min(best, rayToSegment(p, d, wall));
    for (const Rect &box : boxes)
        best = std::min(best, rayToRect(p, d, box));
    for (const ColouredObject &object : objects)
        best = std::min(best, rayToRect(p, d, object.box));
    return best;
}

int reflectanceReading(double reflectance)
{
    return int(std::lround(4095 * (1 - std::clamp(reflectance, 0.0, 1.0))));
}

int distanceReading(double metres)
{
    const double d = std::clamp(metres, DistanceSensorMin, DistanceSensorRange);
    return std::min(4095, int(std::lround(4095 * 0.08 / (d + 0.04))));
}

} // namespace kxsim
