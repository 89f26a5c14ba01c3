// The fast view: the picture painted in squares where a square provably
// shows one flat face in one colour, rays traced elsewhere, the obstacles
// found through their outlines on the picture or a grid over the field.
// Private to the camera.
#ifndef KESTRIX_SIM_CAMERA_FAST_H
#define KESTRIX_SIM_CAMERA_FAST_H

#include "camera/camera_parts.h"

namespace kxsim {

namespace view {

// The room every shortcut below leaves, in metres: far above the rounding of
// the arithmetic (about 1e-13 m on a field of a kilometre), far below what a
// pixel covers.
constexpr double Margin = 1e-6;
// The same on the picture, in pixels.
constexpr double Spare = 0.05;
// Squares of the picture that the painting starts from, in pixels.
constexpr int Square = 32;
// Squares of floor at least this wide are painted in rows between the
// floor's edges; narrower ones are cut, and then traced.
constexpr int FloorRowsFrom = 4;
// Up to this many walls and blocks, each picture finds where on it each one
// may show, and a ray tests only those whose place holds its pixel; more go
// through the grid.
constexpr std::uint32_t FewObstacles = 64;

// Where on the picture something may show: columns c0-c1 and rows r0-r1
// (empty when c0 > c1).
struct Span
{
    int c0 = 1, c1 = 0, r0 = 1, r1 = 0;

    bool holds(int row, int column) const { return column >= c0 && column <= c1 && row >= r0 && row <= r1; }
    bool meets(int rowLow, int columnLow, int rowHigh, int columnHigh) const
    {
        return c0 <= columnHigh && c1 >= columnLow && r0 <= rowHigh && r1 >= rowLow;
    }
};

// What something looks like on the picture: the convex outline of its part
// before the lens, in pixels (column, row; points `first` on of the
// picture's outline points), and the pixels it may cover.
struct Outline
{
    std::uint32_t first = 0, count = 0;
    Span span;
};

// What a pixel's ray met, as far as painting a whole square in one go goes:
// a kind, a face and the number of the wall, block or floor side.
enum class Kind : std::uint64_t { None, Sky, Floor, Outside, Wall, Block, Piece };

inline std::uint64_t surface(Kind kind, std::uint32_t index = 0, unsigned face = 0)
{
    return static_cast<std::uint64_t>(kind) << 40 | static_cast<std::uint64_t>(face) << 32 | index;
}

inline Kind kindOf(std::uint64_t key) { return static_cast<Kind>(key >> 40); }
inline std::uint32_t indexOf(std::uint64_t key) { return static_cast<std::uint32_t>(key); }
inline unsigned faceOf(std::uint64_t key) { return static_cast<unsigned>(key >> 32) & 0xff; }

struct Point2
{
    double x, y;
};

// The cell at `offset` from the grid's edge, `inverse` cells a metre, kept
// inside the grid.
inline int cellIndex(double offset, double inverse, int count)
{
    const double index = offset * inverse;
    return index < 0 ? 0 : index >= count ? count - 1 : static_cast<int>(index);
}

// The convex hull of `points` (sorted on the way) into `hull`, which holds
// twice as many, counter-clockwise; its number of corners.
inline int convexHull(Point2 *points, int count, Point2 *hull)
{
    std::sort(points, points + count, [](const Point2 &a, const Point2 &b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    auto turn = [](const Point2 &o, const Point2 &a, const Point2 &b) {
        return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
    };
    int h = 0;
    for (int i = 0; i < count; ++i) {
        while (h >= 2 && turn(hull[h - 2], hull[h - 1], points[i]) <= 0)
            --h;
        hull[h++] = points[i];
    }
    for (int i = count - 2, low = h + 1; i >= 0; --i) {
        while (h >= low && turn(hull[h - 2], hull[h - 1], points[i]) <= 0)
            --h;
        hull[h++] = points[i];
    }
    return h > 1 ? h - 1 : h; // the first point came round again
}

// Whether a convex hull (counter-clockwise) reaches into the pixels
// rowLow-rowHigh x columnLow-columnHigh, Spare round them: apart when it
// lies beyond one side of the block or the block beyond one side of it.
inline bool hullMeets(const Point2 *hull, int count, int rowLow, int columnLow, int rowHigh, int columnHigh)
{
    const Point2 corners[4] = {{columnLow - Spare, rowLow - Spare}, {columnHigh + Spare, rowLow - Spare},
                               {columnHigh + Spare, rowHigh + Spare}, {columnLow - Spare, rowHigh + Spare}};
    double xLow = Infinity, xHigh = -Infinity, yLow = Infinity, yHigh = -Infinity;
    for (int i = 0; i < count; ++i) {
        xLow = std::min(xLow, hull[i].x);
        xHigh = std::max(xHigh, hull[i].x);
        yLow = std::min(yLow, hull[i].y);
        yHigh = std::max(yHigh, hull[i].y);
    }
    if (count == 0 || xHigh < corners[0].x || xLow > corners[2].x || yHigh < corners[0].y || yLow > corners[2].y)
        return false;
    for (int i = 0; i < count; ++i) {
        const Point2 &a = hull[i], &b = hull[(i + 1) % count];
        const double ex = b.x - a.x, ey = b.y - a.y;
        bool outside = ex != 0 || ey != 0;
        for (int k = 0; k < 4 && outside; ++k)
            outside = ex * (corners[k].y - a.y) - ey * (corners[k].x - a.x) < 0;
        if (outside)
            return false;
    }
    return true;
}

// A uniform grid of square cells over a rectangle.
struct Grid
{
    double x0 = 0, y0 = 0, cell = 1, inverse = 1;
    int nx = 0, ny = 0; // no cells: nothing indexed

    // Visits, row by row, every cell that the convex hull of `points`
    // (widened by Margin) overlaps; stops as soon as `visit(cell)` says
    // false, and then returns false.
    template <typename Visit>
    bool visitHull(const Point2 *points, int count, Visit &&visit) const
    {
        double yLow = Infinity, yHigh = -Infinity;
        for (int i = 0; i < count; ++i) {
            yLow = std::min(yLow, points[i].y);
            yHigh = std::max(yHigh, points[i].y);
        }
        if (nx == 0 || yHigh + Margin < y0 || yLow - Margin > y0 + ny * cell)
            return true;
        const int rowLow = cellIndex(yLow - Margin - y0, inverse, ny), rowHigh = cellIndex(yHigh + Margin - y0, inverse, ny);
        for (int row = rowLow; row <= rowHigh; ++row) {
            // The hull's reach across this row of cells: its corners in the
            // row and where the lines between them cross the row's edges.
            const double a = std::max(yLow, y0 + row * cell - Margin);
            const double b = std::min(yHigh, y0 + (row + 1) * cell + Margin);
            double xLow = Infinity, xHigh = -Infinity;
            for (int i = 0; i < count; ++i) {
                const Point2 &p = points[i];
                if (p.y >= a && p.y <= b) {
                    xLow = std::min(xLow, p.x);
                    xHigh = std::max(xHigh, p.x);
                }
                for (int j = i + 1; j < count; ++j) {
                    const Point2 &q = points[j];
                    for (double edge : {a, b})
                        if ((p.y - edge) * (q.y - edge) < 0) {
                            const double x = p.x + (q.x - p.x) * (edge - p.y) / (q.y - p.y);
                            xLow = std::min(xLow, x);
                            xHigh = std::max(xHigh, x);
                        }
                }
            }
            if (xLow > xHigh || xHigh + Margin < x0 || xLow - Margin > x0 + nx * cell)
                continue;
            const int first = cellIndex(xLow - Margin - x0, inverse, nx), last = cellIndex(xHigh + Margin - x0, inverse, nx);
            for (int column = first; column <= last; ++column)
                if (!visit(row * nx + column))
                    return false;
        }
        return true;
    }
};

struct FastView
{
    CameraScene scene;
    CameraMount mount;
    CameraView::Work work;

    // The walls and blocks, numbered walls first: ties between equal
    // distances go to the lower number, as in renderCamera's order.
    std::uint32_t wallCount = 0, staticCount = 0;
    std::vector<std::array<unsigned char, 9>> blockPaint; // by face axis
    double staticTop = 0; // the highest wall or block
    double reach = 0;     // the farthest a painted square's face may be
    Grid grid;
    std::vector<std::uint32_t> cellStart, cellItems;
    // The last ray and the last pyramid that tested each obstacle.
    std::vector<std::uint32_t> rayMark, checkMark;
    std::uint32_t rayStamp = 0, checkStamp = 0;
    bool few = false; // FewObstacles or fewer: spans instead of the grid

    // One picture's.
    Lens lens;
    int width = 0, height = 0;
    unsigned char *out = nullptr;
    std::vector<double> us, vs;
    std::vector<CameraScene::Piece> given;
    std::vector<ReadyPiece> pieces;
    // What the obstacles look like on this picture: pieces' all, walls' and
    // blocks' as asked for (all of them when few).
    std::vector<Point2> outlinePoints;
    std::vector<Outline> pieceOutlines, staticOutlines;
    std::vector<std::uint32_t> outlined; // by wall or block, the picture its outline is of
    double top = 0; // the highest obstacle, pieces included
    // By pixel: the picture it was traced in, what it met and how far away.
    std::vector<std::uint32_t> traced;
    std::uint32_t picture = 0;
    std::vector<std::uint64_t> surfaces;
    std::vector<double> distances;
    // A square of floor's edges, and a row's stretches near them.
    std::vector<FloorEdge> edges;
    std::vector<std::pair<double, double>> unsure;

    FastView(CameraScene s, CameraMount m)
        : scene(std::move(s)), mount(m)
    {
        index();
    }

    void index();
    void render(const CameraPose &pose, unsigned char *rgb, int w, int h);
    void trace(int row, int column);
    void walk(Vec origin, Vec ray, double limit, double &bestT, long long &bestOrder, std::uint64_t &met,
              unsigned char rgb[3]);
    void area(int r0, int c0, int r1, int c1);
    bool paintable(const int rows[4], const int columns[4]);
    void fill(int r0, int c0, int r1, int c1);
    bool floorOnly(int r0, int c0, int r1, int c1);
    void paintFloor(int r0, int c0, int r1, int c1);
    bool clear(const Vec q[4], long long own, const int rows[4], const int columns[4], const Vec *plane = nullptr,
               double offset = 0);
    static double distanceFromOrigin(const Point2 corners[4]);
    int corners(std::uint32_t item, Vec v[8]) const;
    Outline outline(const Vec *v, int count);
    const Outline &staticOutline(std::uint32_t item);
    bool covers(const Outline &shape, int rowLow, int columnLow, int rowHigh, int columnHigh) const;
    bool showsBefore(const Vec *v, int count, Vec n, double c, double margin, int rowLow, int columnLow, int rowHigh,
                     int columnHigh) const;
    void test(std::uint32_t item, Vec o, Vec ray, double &bestT, long long &bestOrder, std::uint64_t &met,
              unsigned char rgb[3]);

    static std::uint32_t next(std::uint32_t &stamp, std::vector<std::uint32_t> &marks)
    {
        if (++stamp == 0) {
            std::fill(marks.begin(), marks.end(), 0);
            stamp = 1;
        }
        return stamp;
    }
};

} // namespace view

} // namespace kxsim

#endif
