#include "camera/camera_floor.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

namespace {

constexpr double Spare = 1e-6;
// The grid's cells along the field's longer side.
constexpr int GridCells = 64;

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

bool meets(const Rect &a, const Rect &b)
{
    return !(a.x1 < b.x0 || a.x0 > b.x1 || a.y1 < b.y0 || a.y0 > b.y1);
}

bool holds(const Rect &r, Point p)
{
    return p.x >= r.x0 && p.x <= r.x1 && p.y >= r.y0 && p.y <= r.y1;
}

Rect grown(Rect r, double by)
{
    return {r.x0 - by, r.y0 - by, r.x1 + by, r.y1 + by};
}

// Whether the edge of the polygon passes through the rectangle: a corner of
// it inside, or a side of it across one of the rectangle's.
bool edgeMeets(const std::vector<Point> &polygon, const Rect &r)
{
    const Point corners[4] = {{r.x0, r.y0}, {r.x1, r.y0}, {r.x1, r.y1}, {r.x0, r.y1}};
    for (std::size_t k = 0, n = polygon.size(); k < n; ++k) {
        const Point a = polygon[k], b = polygon[(k + 1) % n];
        if (holds(r, a))
            return true;
        for (int i = 0; i < 4; ++i)
            if (segmentsCross(corners[i], corners[(i + 1) % 4], a, b))
                return true;
    }
    return false;
}

} // namespace

FloorShade::FloorShade(const World &world) : m_world(world)
{
    // Each item's rectangle holds every point it covers, a micrometre to
    // spare for the rounding of the tests.
    for (std::size_t z = 0; z < world.zones.size(); ++z) {
        const Zone &zone = world.zones[z];
        if (!zone.reflectance || zone.polygon.empty())
            continue;
        Rect box{zone.polygon[0].x, zone.polygon[0].y, zone.polygon[0].x, zone.polygon[0].y};
        for (const Point &p : zone.polygon)
            box = {std::min(box.x0, p.x), std::min(box.y0, p.y), std::max(box.x1, p.x), std::max(box.y1, p.y)};
        m_items.push_back({Item::Kind::Zone, std::uint32_t(z), 0, grown(box, Spare)});
    }
    for (std::size_t m = 0; m < world.marks.size(); ++m) {
        const Mark &mark = world.marks[m];
        if (mark.kind == Mark::Kind::Area) {
            m_items.push_back({Item::Kind::Area, std::uint32_t(m), 0, grown(mark.area, Spare)});
            continue;
        }
        for (std::size_t k = 0, n = mark.segments(); k < n; ++k) {
            const Point a = mark.points[k], b = mark.points[(k + 1) % mark.points.size()];
            const Rect box{std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
            m_items.push_back({Item::Kind::Tape, std::uint32_t(m), std::uint32_t(k), grown(box, mark.width / 2 + Spare)});
        }
    }
    // The grid covers the field; points off it are asked of the world.
    m_grid = {0, 0, world.width, world.height};
    const double longer = std::max(world.width, world.height);
    if (!(longer > 0) || !std::isfinite(longer))
        return;
    m_columns = std::max(1, int(std::ceil(GridCells * world.width / longer)));
    m_rows = std::max(1, int(std::ceil(GridCells * world.height / longer)));
    m_inverseX = m_columns / world.width;
    m_inverseY = m_rows / world.height;
    const std::size_t cells = std::size_t(m_columns) * std::size_t(m_rows);
    std::vector<std::vector<std::uint32_t>> lists(cells);
    for (std::uint32_t i = 0; i < m_items.size(); ++i) {
        const Rect &b = m_items[i].bounds;
        if (!meets(b, m_grid))
            continue;
        const int c0 = cell(b.x0, m_inverseX, m_columns), c1 = cell(b.x1, m_inverseX, m_columns);
        const int r0 = cell(b.y0, m_inverseY, m_rows), r1 = cell(b.y1, m_inverseY, m_rows);
        for (int r = r0; r <= r1; ++r)
            for (int c = c0; c <= c1; ++c)
                lists[std::size_t(r) * std::size_t(m_columns) + std::size_t(c)].push_back(i);
    }
    m_cellStart.assign(cells + 1, 0);
    for (std::size_t c = 0; c < cells; ++c) {
        m_cellStart[c + 1] = m_cellStart[c] + std::uint32_t(lists[c].size());
        m_cellItems.insert(m_cellItems.end(), lists[c].begin(), lists[c].end());
    }
    // A cell of one shade all over (a little more than the cell, for the
    // rounding of which cell a point falls in) answers without its items.
    m_plain.assign(cells, 0);
    m_isPlain.assign(cells, 0);
    const double cellWidth = world.width / m_columns, cellHeight = world.height / m_rows;
    const double spare = 1e-9 * (1 + longer);
    for (int r = 0; r < m_rows; ++r)
        for (int c = 0; c < m_columns; ++c) {
            const Rect area{c * cellWidth - spare, r * cellHeight - spare, (c + 1) * cellWidth + spare,
                            (r + 1) * cellHeight + spare};
            if (!uniformOver(area.x0, area.y0, area.x1, area.y1))
                continue;
            const std::size_t at = std::size_t(r) * std::size_t(m_columns) + std::size_t(c);
            m_plain[at] = world.reflectanceAt({(area.x0 + area.x1) / 2, (area.y0 + area.y1) / 2});
            m_isPlain[at] = 1;
        }
}


bool FloorShade::covers(const Item &item, Point p) const
{
    if (!holds(item.bounds, p))
        return false;
    switch (item.kind) {
    case Item::Kind::Zone:
        return m_world.zones[item.owner].contains(p);
    case Item::Kind::Area: {
        const Rect &a = m_world.marks[item.owner].area;
        return p.x >= a.x0 && p.x <= a.x1 && p.y >= a.y0 && p.y <= a.y1;
    }
    case Item::Kind::Tape:
        return m_world.marks[item.owner].segmentCovers(item.segment, p);
    }
    return false;
}

double FloorShade::at(double x, double y) const
{
    // The point goes on in its two coordinates: as one Point it went through
    // memory, and that stalled every call.
    if (m_columns == 0 || !(x >= m_grid.x0 && x <= m_grid.x1 && y >= m_grid.y0 && y <= m_grid.y1))
        return m_world.reflectanceAt({x, y});
    const Point p{x, y};
    const std::size_t c = std::size_t(cell(y, m_inverseY, m_rows)) * std::size_t(m_columns)
        + std::size_t(cell(x, m_inverseX, m_columns));
    if (m_isPlain[c])
        return m_plain[c];
    double result = m_world.floorReflectance;
    for (std::uint32_t k = m_cellStart[c]; k < m_cellStart[c + 1]; ++k) {
        const Item &item = m_items[m_cellItems[k]];
        if (!covers(item, p))
            continue;
        result = item.kind == Item::Kind::Zone ? *m_world.zones[item.owner].reflectance
                                               : m_world.marks[item.owner].reflectance;
    }
    return result;
}

void FloorShade::edgesNear(double x0, double y0, double x1, double y1, std::vector<FloorEdge> &edges) const
{
    const Rect wide = grown({x0, y0, x1, y1}, Spare);
    auto side = [&](Point a, Point b) {
        if (meets(grown({std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)}, Spare), wide))
            edges.push_back({a.x, a.y, b.x, b.y, 0});
    };
    auto take = [&](const Item &item) {
        switch (item.kind) {
        case Item::Kind::Zone: {
            const std::vector<Point> &polygon = m_world.zones[item.owner].polygon;
            for (std::size_t k = 0, n = polygon.size(); k < n; ++k)
                side(polygon[k], polygon[(k + 1) % n]);
            break;
        }
        case Item::Kind::Area: {
            const Rect &a = m_world.marks[item.owner].area;
            side({a.x0, a.y0}, {a.x1, a.y0});
            side({a.x1, a.y0}, {a.x1, a.y1});
            side({a.x1, a.y1}, {a.x0, a.y1});
            side({a.x0, a.y1}, {a.x0, a.y0});
            break;
        }
        case Item::Kind::Tape: {
            const Mark &mark = m_world.marks[item.owner];
            const Point a = mark.points[item.segment], b = mark.points[(item.segment + 1) % mark.points.size()];
            edges.push_back({a.x, a.y, b.x, b.y, mark.width / 2});
            break;
        }
        }
    };
    if (m_columns == 0 || !(wide.x0 >= m_grid.x0 && wide.y0 >= m_grid.y0 && wide.x1 <= m_grid.x1 && wide.y1 <= m_grid.y1)) {
        for (const Item &item : m_items)
            if (meets(item.bounds, wide))
                take(item);
        return;
    }
    // Each item once: in the first cell of the rectangle's that it reaches.
    const int c0 = cell(wide.x0, m_inverseX, m_columns), c1 = cell(wide.x1, m_inverseX, m_columns);
    const int r0 = cell(wide.y0, m_inverseY, m_rows), r1 = cell(wide.y1, m_inverseY, m_rows);
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) {
            const std::size_t at = std::size_t(r) * std::size_t(m_columns) + std::size_t(c);
            for (std::uint32_t k = m_cellStart[at]; k < m_cellStart[at + 1]; ++k) {
                const Item &item = m_items[m_cellItems[k]];
                const int first = std::max(c0, cell(item.bounds.x0, m_inverseX, m_columns));
                const int top = std::max(r0, cell(item.bounds.y0, m_inverseY, m_rows));
                if (c == first && r == top && meets(item.bounds, wide))
                    take(item);
            }
        }
}

bool FloorShade::uniformOver(double x0, double y0, double x1, double y1) const
{
    const Rect r{x0, y0, x1, y1};
    const Rect wide = grown(r, Spare);
    // A zone whose edge keeps clear of the rectangle holds all of it or none.
    for (const Item &item : m_items)
        if (item.kind == Item::Kind::Zone && meets(item.bounds, wide)
            && edgeMeets(m_world.zones[item.owner].polygon, wide))
            return false;
    for (const Mark &mark : m_world.marks) {
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
        const double half = mark.width / 2;
        bool on = false, near = false;
        for (std::size_t k = 0, n = mark.segments(); k < n && !on; ++k) {
            const Point a = mark.points[k], b = mark.points[(k + 1) % mark.points.size()];
            const Rect reach = grown({std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)},
                                     half + Spare);
            if (!meets(reach, r))
                continue;
            double nearest, farthest;
            distances(r, a, b, nearest, farthest);
            on = farthest <= half - Spare;
            near = near || nearest < half + Spare;
        }
        if (!on && near)
            return false;
    }
    return true;
}

} // namespace kxsim
