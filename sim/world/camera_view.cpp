#include "world/camera_view.h"

#include "model/angles.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace kxsim {

// The pieces of the view: types named so that CameraView::Impl may hold
// them, functions kept to this file.
namespace view {

constexpr unsigned char Beyond[3] = {30, 30, 36};    // past the field's edge
constexpr unsigned char WallColour[3] = {170, 165, 160};
// A box's faces by the axis a ray enters through: x sides, y sides, top
// (light from above). A disc's round side is one shade.
constexpr double FaceShade[3] = {0.9, 0.8, 1.0};
constexpr double DiscSideShade = 0.85;
constexpr double Infinity = std::numeric_limits<double>::infinity();

struct Vec
{
    double x, y, z;
};

static Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
static Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
static Vec operator*(double k, Vec a) { return {k * a.x, k * a.y, k * a.z}; }
static Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
static double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

static unsigned char shaded(unsigned char colour, double shade)
{
    return static_cast<unsigned char>(std::lround(colour * shade));
}

// The camera of one picture: the lens and its axes, and the ray of a pixel.
struct Lens
{
    Vec origin{}, forward{}, right{}, up{};
    double halfWidth = 0, halfHeight = 0;

    Lens() = default;
    Lens(const CameraMount &mount, const CameraPose &pose, int width, int height)
    {
        const double heading = pose.headingDeg * Pi / 180;
        const double yaw = heading + mount.yawDeg * Pi / 180;
        const double pitch = mount.pitchDeg * Pi / 180;
        origin = {pose.x + mount.forward * std::cos(heading) - mount.left * std::sin(heading),
                  pose.y + mount.forward * std::sin(heading) + mount.left * std::cos(heading), mount.height};
        forward = {std::cos(yaw) * std::cos(pitch), std::sin(yaw) * std::cos(pitch), std::sin(pitch)};
        right = {std::sin(yaw), -std::cos(yaw), 0};
        up = cross(right, forward);
        halfWidth = std::tan(mount.fieldOfViewDeg * Pi / 360);
        halfHeight = halfWidth * height / width;
    }
    double u(int column, int width) const { return (2 * (column + 0.5) / width - 1) * halfWidth; }
    double v(int row, int height) const { return (1 - 2 * (row + 0.5) / height) * halfHeight; }
    Vec ray(double u, double v) const { return forward + u * right + v * up; }
};

// Where a ray enters the box [low, high] (slab test), through the face
// across `axis`; false when it misses or starts inside.
static bool enterBox(const double low[3], const double high[3], const double o[3], const double d[3], double &enter,
              int &axis)
{
    enter = -Infinity;
    double leave = Infinity;
    axis = 0;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(d[i]) < 1e-12) {
            if (o[i] < low[i] || o[i] > high[i])
                return false;
            continue;
        }
        double t0 = (low[i] - o[i]) / d[i];
        double t1 = (high[i] - o[i]) / d[i];
        if (t0 > t1)
            std::swap(t0, t1);
        if (t0 > enter) {
            enter = t0;
            axis = i;
        }
        leave = std::min(leave, t1);
    }
    return enter <= leave && enter > 0;
}

static bool enterBlock(const CameraScene::Block &block, Vec origin, Vec ray, double &t, int &axis)
{
    const double low[3] = {block.x0, block.y0, 0};
    const double high[3] = {block.x1, block.y1, block.height};
    const double o[3] = {origin.x, origin.y, origin.z};
    const double d[3] = {ray.x, ray.y, ray.z};
    return enterBox(low, high, o, d, t, axis);
}

static bool crossWall(const CameraScene::Wall &wall, Vec origin, Vec ray, double &t)
{
    // Where the ray's ground track crosses the wall's line.
    const double ex = wall.x1 - wall.x0, ey = wall.y1 - wall.y0;
    const double denominator = ray.x * ey - ray.y * ex;
    if (std::fabs(denominator) < 1e-12)
        return false;
    const double wx = wall.x0 - origin.x, wy = wall.y0 - origin.y;
    t = (wx * ey - wy * ex) / denominator;
    const double s = (wx * ray.y - wy * ray.x) / denominator;
    const double z = origin.z + t * ray.z;
    return s >= 0 && s <= 1 && z >= 0 && z <= wall.height;
}

// A piece made ready for rays: its turn worked out and its faces' colours.
struct ReadyPiece
{
    CameraScene::Piece piece;
    double c = 1, s = 0; // cos and sin of the heading
    unsigned char paint[3][3]; // by face axis as for a block; a disc: [0] side, [2] top

    explicit ReadyPiece(const CameraScene::Piece &p)
        : piece(p)
    {
        const double heading = p.headingDeg * Pi / 180;
        c = std::cos(heading);
        s = std::sin(heading);
        for (int axis = 0; axis < 3; ++axis)
            for (int i = 0; i < 3; ++i)
                paint[axis][i] = shaded(p.rgb[i], shade(axis));
    }

    double shade(int axis) const
    {
        return piece.shape == CameraScene::Piece::Shape::Disc ? (axis == 2 ? 1.0 : DiscSideShade) : FaceShade[axis];
    }

    // Where the ray enters the piece, and through which face (2 the top).
    bool enter(Vec origin, Vec ray, double &t, int &axis) const
    {
        const double ox = origin.x - piece.x, oy = origin.y - piece.y;
        if (piece.shape == CameraScene::Piece::Shape::Box) {
            const double low[3] = {-piece.halfLength, -piece.halfWidth, 0};
            const double high[3] = {piece.halfLength, piece.halfWidth, piece.height};
            const double o[3] = {c * ox + s * oy, -s * ox + c * oy, origin.z};
            const double d[3] = {c * ray.x + s * ray.y, -s * ray.x + c * ray.y, ray.z};
            return enterBox(low, high, o, d, t, axis);
        }
        const double r2 = piece.radius * piece.radius;
        const double a = ray.x * ray.x + ray.y * ray.y;
        double sideIn = -Infinity, sideOut = Infinity;
        if (a < 1e-24) {
            if (ox * ox + oy * oy > r2)
                return false;
        } else {
            const double b = ox * ray.x + oy * ray.y;
            const double discriminant = b * b - a * (ox * ox + oy * oy - r2);
            if (discriminant < 0)
                return false;
            const double root = std::sqrt(discriminant);
            sideIn = (-b - root) / a;
            sideOut = (-b + root) / a;
        }
        double topIn = -Infinity, topOut = Infinity;
        if (std::fabs(ray.z) < 1e-12) {
            if (origin.z < 0 || origin.z > piece.height)
                return false;
        } else {
            topIn = -origin.z / ray.z;
            topOut = (piece.height - origin.z) / ray.z;
            if (topIn > topOut)
                std::swap(topIn, topOut);
        }
        axis = topIn > sideIn ? 2 : 0;
        t = std::max(topIn, sideIn);
        return t <= std::min(topOut, sideOut) && t > 0;
    }

    // Corners of a box around it, for the pyramid tests.
    int corners(Vec out[8]) const
    {
        // Half sides of the footprint along the piece's own axes (a disc's
        // square is not turned).
        const bool box = piece.shape == CameraScene::Piece::Shape::Box;
        const double hx = box ? piece.halfLength : piece.radius, hy = box ? piece.halfWidth : piece.radius;
        const double turnC = box ? c : 1, turnS = box ? s : 0;
        const double ax = turnC * hx, ay = turnS * hx, bx = -turnS * hy, by = turnC * hy;
        int n = 0;
        for (double z : {0.0, piece.height})
            for (int corner = 0; corner < 4; ++corner) {
                const double i = corner & 1 ? 1 : -1, j = corner & 2 ? 1 : -1;
                out[n++] = {piece.x + i * ax + j * bx, piece.y + i * ay + j * by, z};
            }
        return n;
    }
};

// The nearest hit along a ray so far, and what it shows: the plain renderer
// offers every candidate in turn, and the first of equal distances stays.
struct Hit
{
    double distance = Infinity;
    unsigned char rgb[3] = {Beyond[0], Beyond[1], Beyond[2]};

    void offer(double t, const unsigned char colour[3], double shade)
    {
        if (t <= 1e-9 || t >= distance)
            return;
        distance = t;
        for (int i = 0; i < 3; ++i)
            rgb[i] = shaded(colour[i], shade);
    }
};

static unsigned char floorGrey(const CameraScene &scene, double x, double y)
{
    const double reflectance = scene.floorReflectance ? std::clamp(scene.floorReflectance(x, y), 0.0, 1.0) : 0.9;
    return static_cast<unsigned char>(std::lround(30 + 200 * reflectance));
}

static void hitFloor(const CameraScene &scene, Vec origin, Vec ray, Hit &hit)
{
    if (ray.z >= 0)
        return;
    const double t = -origin.z / ray.z;
    if (t >= hit.distance)
        return;
    const double x = origin.x + t * ray.x, y = origin.y + t * ray.y;
    if (x < 0 || y < 0 || x > scene.fieldWidth || y > scene.fieldHeight)
        return;
    const unsigned char grey = floorGrey(scene, x, y);
    const unsigned char colour[3] = {grey, grey, grey};
    hit.offer(t, colour, 1.0);
}

} // namespace view

void renderCamera(const CameraScene &scene, const CameraMount &mount, const CameraPose &pose, unsigned char *rgb,
                  int width, int height)
{
    using namespace view;
    std::vector<CameraScene::Piece> given;
    if (scene.movingPieces)
        scene.movingPieces(given);
    const std::vector<ReadyPiece> pieces(given.begin(), given.end());
    const Lens lens(mount, pose, width, height);
    for (int row = 0; row < height; ++row) {
        const double v = lens.v(row, height);
        for (int column = 0; column < width; ++column, rgb += 3) {
            const Vec ray = lens.ray(lens.u(column, width), v);
            Hit hit;
            double t;
            int axis;
            hitFloor(scene, lens.origin, ray, hit);
            for (const CameraScene::Wall &wall : scene.walls)
                if (crossWall(wall, lens.origin, ray, t))
                    hit.offer(t, WallColour, 1.0);
            for (const CameraScene::Block &block : scene.blocks)
                if (enterBlock(block, lens.origin, ray, t, axis))
                    hit.offer(t, block.rgb, FaceShade[axis]);
            for (const ReadyPiece &piece : pieces)
                if (piece.enter(lens.origin, ray, t, axis))
                    hit.offer(t, piece.piece.rgb, piece.shade(axis));
            rgb[0] = hit.rgb[0];
            rgb[1] = hit.rgb[1];
            rgb[2] = hit.rgb[2];
        }
    }
}

// ------------------------------------------------------------ the fast view

namespace view {

// The room every shortcut below leaves, in metres: far above the rounding of
// the arithmetic (about 1e-13 m on a field of a kilometre), far below what a
// pixel covers.
constexpr double Margin = 1e-6;
// The same on the picture, in pixels.
constexpr double Spare = 0.05;
// Squares of the picture that the painting starts from, in pixels.
constexpr int Square = 32;
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

static std::uint64_t surface(Kind kind, std::uint32_t index = 0, unsigned face = 0)
{
    return static_cast<std::uint64_t>(kind) << 40 | static_cast<std::uint64_t>(face) << 32 | index;
}

static Kind kindOf(std::uint64_t key) { return static_cast<Kind>(key >> 40); }
static std::uint32_t indexOf(std::uint64_t key) { return static_cast<std::uint32_t>(key); }
static unsigned faceOf(std::uint64_t key) { return static_cast<unsigned>(key >> 32) & 0xff; }

struct Point2
{
    double x, y;
};

// The cell at `offset` from the grid's edge, `inverse` cells a metre, kept
// inside the grid.
static int cellIndex(double offset, double inverse, int count)
{
    const double index = offset * inverse;
    return index < 0 ? 0 : index >= count ? count - 1 : static_cast<int>(index);
}

// The convex hull of `points` (sorted on the way) into `hull`, which holds
// twice as many, counter-clockwise; its number of corners.
static int convexHull(Point2 *points, int count, Point2 *hull)
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
static bool hullMeets(const Point2 *hull, int count, int rowLow, int columnLow, int rowHigh, int columnHigh)
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
    bool clear(const Vec q[4], long long own, const int rows[4], const int columns[4]);
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

void FastView::index()
{
    wallCount = static_cast<std::uint32_t>(scene.walls.size());
    staticCount = wallCount + static_cast<std::uint32_t>(scene.blocks.size());
    for (const CameraScene::Block &block : scene.blocks) {
        std::array<unsigned char, 9> paint{};
        for (int axis = 0; axis < 3; ++axis)
            for (int i = 0; i < 3; ++i)
                paint[static_cast<std::size_t>(axis * 3 + i)] = shaded(block.rgb[i], FaceShade[axis]);
        blockPaint.push_back(paint);
    }
    double x0 = 0, y0 = 0, x1 = std::max(scene.fieldWidth, 0.0), y1 = std::max(scene.fieldHeight, 0.0);
    auto footprint = [this](std::uint32_t item, Point2 p[4]) {
        if (item < wallCount) {
            const CameraScene::Wall &w = scene.walls[item];
            p[0] = {w.x0, w.y0};
            p[1] = {w.x1, w.y1};
            return 2;
        }
        const CameraScene::Block &b = scene.blocks[item - wallCount];
        p[0] = {b.x0, b.y0};
        p[1] = {b.x1, b.y0};
        p[2] = {b.x1, b.y1};
        p[3] = {b.x0, b.y1};
        return 4;
    };
    for (const CameraScene::Wall &w : scene.walls)
        staticTop = std::max(staticTop, w.height);
    for (const CameraScene::Block &b : scene.blocks)
        staticTop = std::max(staticTop, b.height);
    for (std::uint32_t item = 0; item < staticCount; ++item) {
        Point2 p[4];
        const int n = footprint(item, p);
        for (int i = 0; i < n; ++i) {
            x0 = std::min(x0, p[i].x);
            y0 = std::min(y0, p[i].y);
            x1 = std::max(x1, p[i].x);
            y1 = std::max(y1, p[i].y);
        }
    }
    reach = 1000 * (1 + std::max(x1 - x0, y1 - y0));
    rayMark.assign(staticCount, 0);
    checkMark.assign(staticCount, 0);
    outlined.assign(staticCount, 0);
    staticOutlines.resize(staticCount);
    few = staticCount <= FewObstacles;
    if (few)
        return;

    // About four cells an obstacle, square, at most 4096 a side.
    x0 -= 2 * Margin;
    y0 -= 2 * Margin;
    const double w = std::max(x1 - x0 + 2 * Margin, 1e-3), h = std::max(y1 - y0 + 2 * Margin, 1e-3);
    const double cells = std::min(std::max(4.0 * staticCount, 16.0), double(1 << 22));
    double cell = std::max(std::sqrt(w * h / cells), std::max(w, h) / 4096);
    grid.x0 = x0;
    grid.y0 = y0;
    grid.cell = cell;
    grid.inverse = 1 / cell;
    grid.nx = std::max(1, static_cast<int>(std::ceil(w / cell)));
    grid.ny = std::max(1, static_cast<int>(std::ceil(h / cell)));
    cellStart.assign(static_cast<std::size_t>(grid.nx) * static_cast<std::size_t>(grid.ny) + 1, 0);
    for (std::uint32_t item = 0; item < staticCount; ++item) {
        Point2 p[4];
        grid.visitHull(p, footprint(item, p), [this](int c) {
            ++cellStart[static_cast<std::size_t>(c) + 1];
            return true;
        });
    }
    for (std::size_t c = 1; c < cellStart.size(); ++c)
        cellStart[c] += cellStart[c - 1];
    cellItems.resize(cellStart.back());
    std::vector<std::uint32_t> filled(cellStart.begin(), cellStart.end() - 1);
    for (std::uint32_t item = 0; item < staticCount; ++item) {
        Point2 p[4];
        grid.visitHull(p, footprint(item, p), [&](int c) {
            cellItems[filled[static_cast<std::size_t>(c)]++] = item;
            return true;
        });
    }
}

int FastView::corners(std::uint32_t item, Vec v[8]) const
{
    if (item < wallCount) {
        const CameraScene::Wall &w = scene.walls[item];
        v[0] = {w.x0, w.y0, 0};
        v[1] = {w.x1, w.y1, 0};
        v[2] = {w.x0, w.y0, w.height};
        v[3] = {w.x1, w.y1, w.height};
        return 4;
    }
    const CameraScene::Block &b = scene.blocks[item - wallCount];
    int n = 0;
    for (double z : {0.0, b.height})
        for (double x : {b.x0, b.x1})
            for (double y : {b.y0, b.y1})
                v[n++] = {x, y, z};
    return n;
}

// The outline on the picture of a wall (four corners) or a box (eight,
// numbered by three bits, one an axis): the hull of its corners' places and of
// where its edges pass the lens's plane, its part behind the lens cut off.
Outline FastView::outline(const Vec *v, int count)
{
    constexpr double Near = 1e-10; // nearer than any hit that counts
    Vec d[8];
    double z[8];
    Point2 points[20];
    int n = 0;
    auto take = [&](Vec p, double depth) {
        points[n++] = {(dot(p, lens.right) / depth / lens.halfWidth + 1) * width / 2 - 0.5,
                       (1 - dot(p, lens.up) / depth / lens.halfHeight) * height / 2 - 0.5};
    };
    for (int i = 0; i < count; ++i) {
        d[i] = v[i] - lens.origin;
        z[i] = dot(d[i], lens.forward);
        if (z[i] >= Near)
            take(d[i], z[i]);
    }
    static constexpr int WallEdges[4][2] = {{0, 1}, {1, 3}, {3, 2}, {2, 0}};
    static constexpr int BoxEdges[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                            {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    const int (*edges)[2] = count == 4 ? WallEdges : BoxEdges;
    for (int e = 0, edgeCount = count == 4 ? 4 : 12; e < edgeCount; ++e) {
        const int a = edges[e][0], b = edges[e][1];
        if ((z[a] >= Near) != (z[b] >= Near))
            take(d[a] + ((Near - z[a]) / (z[b] - z[a])) * (d[b] - d[a]), Near);
    }
    Outline shape;
    shape.first = static_cast<std::uint32_t>(outlinePoints.size());
    if (n == 0)
        return shape;
    Point2 hull[40];
    const int h = convexHull(points, n, hull);
    double xLow = Infinity, xHigh = -Infinity, yLow = Infinity, yHigh = -Infinity;
    for (int i = 0; i < h; ++i) {
        outlinePoints.push_back(hull[i]);
        xLow = std::min(xLow, hull[i].x);
        xHigh = std::max(xHigh, hull[i].x);
        yLow = std::min(yLow, hull[i].y);
        yHigh = std::max(yHigh, hull[i].y);
    }
    shape.count = static_cast<std::uint32_t>(h);
    if (xHigh + Spare < 0 || xLow - Spare > width - 1 || yHigh + Spare < 0 || yLow - Spare > height - 1)
        return shape;
    auto index = [](double at, int size) { return at < 0 ? 0 : at > size - 1 ? size - 1 : static_cast<int>(at); };
    shape.span.c0 = index(std::floor(xLow - Spare), width);
    shape.span.c1 = index(std::ceil(xHigh + Spare), width);
    shape.span.r0 = index(std::floor(yLow - Spare), height);
    shape.span.r1 = index(std::ceil(yHigh + Spare), height);
    return shape;
}

// Whether some of a wall (four corners) or a box (eight) shows in the pixels
// rowLow-rowHigh x columnLow-columnHigh from before the plane where
// dot(n, p) = c (within `margin` of it): its faces cut down to their parts
// before the plane and the lens hold every corner of what is left of it,
// whose place on the picture is the hull of theirs.
bool FastView::showsBefore(const Vec *v, int count, Vec n, double c, double margin, int rowLow, int columnLow,
                           int rowHigh, int columnHigh) const
{
    constexpr double Near = 1e-10;
    static constexpr int WallFace[1][4] = {{0, 1, 3, 2}};
    static constexpr int BoxFaces[6][4] = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                           {2, 3, 7, 6}, {0, 2, 6, 4}, {1, 3, 7, 5}};
    const int (*faces)[4] = count == 4 ? WallFace : BoxFaces;
    const Vec o = lens.origin, forward = lens.forward;
    Point2 shown[36];
    int points = 0;
    for (int f = 0, faceCount = count == 4 ? 1 : 6; f < faceCount; ++f) {
        Vec a[6], b[6];
        int kept = 4;
        for (int k = 0; k < 4; ++k)
            a[k] = v[faces[f][k]];
        auto cut = [&](auto distance) {
            int left = 0;
            for (int i = 0; i < kept; ++i) {
                const Vec &p = a[i], &q = a[(i + 1) % kept];
                const double dp = distance(p), dq = distance(q);
                if (dp >= 0)
                    b[left++] = p;
                if ((dp >= 0) != (dq >= 0))
                    b[left++] = p + (dp / (dp - dq)) * (q - p);
            }
            std::copy(b, b + left, a);
            kept = left;
        };
        cut([&](const Vec &p) { return dot(n, p) - c + margin; });
        cut([&](const Vec &p) { return dot(p - o, forward) - Near; });
        for (int i = 0; i < kept; ++i) {
            const Vec d = a[i] - o;
            const double depth = std::max(dot(d, forward), Near);
            shown[points++] = {(dot(d, lens.right) / depth / lens.halfWidth + 1) * width / 2 - 0.5,
                               (1 - dot(d, lens.up) / depth / lens.halfHeight) * height / 2 - 0.5};
        }
    }
    Point2 hull[72];
    return hullMeets(hull, convexHull(shown, points, hull), rowLow, columnLow, rowHigh, columnHigh);
}

const Outline &FastView::staticOutline(std::uint32_t item)
{
    if (outlined[item] != picture) {
        Vec v[8];
        staticOutlines[item] = outline(v, corners(item, v));
        outlined[item] = picture;
    }
    return staticOutlines[item];
}

// Whether the outline reaches into the pixels rowLow-rowHigh x
// columnLow-columnHigh.
bool FastView::covers(const Outline &shape, int rowLow, int columnLow, int rowHigh, int columnHigh) const
{
    return shape.span.meets(rowLow, columnLow, rowHigh, columnHigh)
        && hullMeets(outlinePoints.data() + shape.first, static_cast<int>(shape.count), rowLow, columnLow, rowHigh,
                     columnHigh);
}

void FastView::render(const CameraPose &pose, unsigned char *rgb, int w, int h)
{
    work = CameraView::Work();
    if (w <= 0 || h <= 0)
        return;
    lens = Lens(mount, pose, w, h);
    if (w != width || h != height) {
        width = w;
        height = h;
        const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
        traced.assign(pixels, 0);
        surfaces.assign(pixels, 0);
        distances.assign(pixels, 0);
        us.resize(static_cast<std::size_t>(w));
        vs.resize(static_cast<std::size_t>(h));
    }
    for (int column = 0; column < w; ++column)
        us[static_cast<std::size_t>(column)] = lens.u(column, w);
    for (int row = 0; row < h; ++row)
        vs[static_cast<std::size_t>(row)] = lens.v(row, h);
    if (next(picture, traced) == 1)
        std::fill(outlined.begin(), outlined.end(), 0);
    pieces.clear();
    pieceOutlines.clear();
    outlinePoints.clear();
    top = staticTop;
    Vec v[8];
    for (const CameraScene::Piece &piece : given) {
        pieces.emplace_back(piece);
        pieceOutlines.push_back(outline(v, pieces.back().corners(v)));
        top = std::max(top, piece.height);
    }
    if (few)
        for (std::uint32_t item = 0; item < staticCount; ++item)
            staticOutline(item);
    out = rgb;
    if (w == 1 || h == 1) {
        for (int row = 0; row < h; ++row)
            for (int column = 0; column < w; ++column)
                trace(row, column);
        return;
    }
    for (int r0 = 0; r0 < h - 1; r0 += Square)
        for (int c0 = 0; c0 < w - 1; c0 += Square)
            area(r0, c0, std::min(r0 + Square, h - 1), std::min(c0 + Square, w - 1));
}

void FastView::area(int r0, int c0, int r1, int c1)
{
    const int rows[4] = {r0, r0, r1, r1}, columns[4] = {c0, c1, c1, c0};
    for (int k = 0; k < 4; ++k)
        if (traced[static_cast<std::size_t>(rows[k]) * static_cast<std::size_t>(width) + static_cast<std::size_t>(columns[k])] != picture)
            trace(rows[k], columns[k]);
    if (r1 - r0 <= 2 && c1 - c0 <= 2) {
        // Cheaper to follow the few rays left than to prove them alike.
        for (int row = r0; row <= r1; ++row)
            for (int column = c0; column <= c1; ++column)
                if (traced[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(column)] != picture)
                    trace(row, column);
        return;
    }
    if (paintable(rows, columns)) {
        ++work.areasPainted;
        unsigned char *first = out + (static_cast<std::size_t>(r0) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c0)) * 3;
        const unsigned char rgb[3] = {first[0], first[1], first[2]};
        const std::size_t bytes = static_cast<std::size_t>(c1 - c0 + 1) * 3, stride = static_cast<std::size_t>(width) * 3;
        for (std::size_t i = 0; i < bytes; i += 3)
            std::memcpy(first + i, rgb, 3);
        for (int row = r0 + 1; row <= r1; ++row)
            std::memcpy(first + static_cast<std::size_t>(row - r0) * stride, first, bytes);
        return;
    }
    const int rm = (r0 + r1) / 2, cm = (c0 + c1) / 2;
    // An edge across the square (its corners alike in pairs along it) cuts
    // it in two across the edge only: the half away from it may be painted.
    auto alike = [&](int a, int b) {
        const std::size_t pa = static_cast<std::size_t>(rows[a]) * static_cast<std::size_t>(width) + static_cast<std::size_t>(columns[a]);
        const std::size_t pb = static_cast<std::size_t>(rows[b]) * static_cast<std::size_t>(width) + static_cast<std::size_t>(columns[b]);
        return surfaces[pa] == surfaces[pb] && std::memcmp(out + pa * 3, out + pb * 3, 3) == 0;
    };
    const bool across = alike(0, 1) && alike(3, 2), along = alike(0, 3) && alike(1, 2);
    if (r1 - r0 <= 2 || (along && !across && c1 - c0 >= 2)) {
        area(r0, c0, r1, cm);
        area(r0, cm, r1, c1);
    } else if (c1 - c0 <= 2 || (across && !along && r1 - r0 >= 2)) {
        area(r0, c0, rm, c1);
        area(rm, c0, r1, c1);
    } else {
        area(r0, c0, rm, cm);
        area(r0, cm, rm, c1);
        area(rm, c0, r1, cm);
        area(rm, cm, r1, c1);
    }
}

void FastView::trace(int row, int column)
{
    const std::size_t pixel = static_cast<std::size_t>(row) * static_cast<std::size_t>(width) + static_cast<std::size_t>(column);
    traced[pixel] = picture;
    ++work.rays;
    const Vec o = lens.origin;
    const Vec ray = lens.ray(us[static_cast<std::size_t>(column)], vs[static_cast<std::size_t>(row)]);
    double bestT = Infinity;
    long long bestOrder = LLONG_MAX; // the floor is -1, before every obstacle
    std::uint64_t met = surface(Kind::None);
    unsigned char rgb[3] = {Beyond[0], Beyond[1], Beyond[2]};
    // Nothing is met under the floor, nor above the highest obstacle.
    double limit = Infinity;
    double floorX = 0, floorY = 0;
    if (ray.z < 0) {
        const double t = -o.z / ray.z;
        floorX = o.x + t * ray.x;
        floorY = o.y + t * ray.y;
        limit = t * (1 + 1e-9) + 1e-9;
        distances[pixel] = t;
        const bool outside = floorX < 0 || floorY < 0 || floorX > scene.fieldWidth || floorY > scene.fieldHeight;
        if (t > 1e-9 && outside) {
            met = surface(Kind::Outside, 0, floorX < 0 ? 0 : floorX > scene.fieldWidth ? 1 : floorY < 0 ? 2 : 3);
        } else if (t > 1e-9) {
            bestT = t;
            bestOrder = -1;
            met = surface(Kind::Floor);
        }
    } else if (ray.z > 0) {
        met = surface(Kind::Sky);
        limit = std::max(0.0, (staticTop - o.z) / ray.z) * (1 + 1e-9) + 1e-9;
    }
    if (few) {
        for (std::uint32_t item = 0; item < staticCount; ++item)
            if (staticOutlines[item].span.holds(row, column))
                test(item, o, ray, bestT, bestOrder, met, rgb);
    } else {
        walk(o, ray, limit, bestT, bestOrder, met, rgb);
    }
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (!pieceOutlines[k].span.holds(row, column))
            continue;
        double t;
        int axis;
        ++work.obstacleTests;
        const long long order = static_cast<long long>(staticCount + k);
        if (pieces[k].enter(o, ray, t, axis) && t > 1e-9 && (t < bestT || (t == bestT && order < bestOrder))) {
            bestT = t;
            bestOrder = order;
            met = surface(Kind::Piece, static_cast<std::uint32_t>(k));
            std::copy(pieces[k].paint[axis], pieces[k].paint[axis] + 3, rgb);
        }
    }
    if (bestOrder == -1) {
        rgb[0] = rgb[1] = rgb[2] = floorGrey(scene, floorX, floorY);
    } else if (bestOrder != LLONG_MAX) {
        distances[pixel] = bestT;
    }
    unsigned char *target = out + pixel * 3;
    target[0] = rgb[0];
    target[1] = rgb[1];
    target[2] = rgb[2];
    surfaces[pixel] = met;
}

// Follows the ray's track over the grid from the lens, cell by cell, testing
// what each cell holds, until the nearest hit (or `limit`) comes before the
// next cell.
void FastView::walk(Vec o, Vec ray, double limit, double &bestT, long long &bestOrder, std::uint64_t &met,
                    unsigned char rgb[3])
{
    if (grid.nx == 0)
        return;
    const double x1 = grid.x0 + grid.nx * grid.cell, y1 = grid.y0 + grid.ny * grid.cell;
    double tIn = 0, tOut = limit;
    // The walk's own arithmetic need not match the hit tests': the cells'
    // contents reach Margin past their edges.
    const double inverseX = ray.x != 0 ? 1 / ray.x : 0, inverseY = ray.y != 0 ? 1 / ray.y : 0;
    const double from[2] = {o.x, o.y}, inverse[2] = {inverseX, inverseY}, low[2] = {grid.x0, grid.y0},
                 high[2] = {x1, y1};
    for (int i = 0; i < 2; ++i) {
        if (inverse[i] == 0) {
            if (from[i] < low[i] || from[i] > high[i])
                return;
            continue;
        }
        double a = (low[i] - from[i]) * inverse[i], b = (high[i] - from[i]) * inverse[i];
        if (a > b)
            std::swap(a, b);
        tIn = std::max(tIn, a);
        tOut = std::min(tOut, b);
    }
    if (tIn > tOut)
        return;
    int ix = cellIndex(o.x + tIn * ray.x - grid.x0, grid.inverse, grid.nx);
    int iy = cellIndex(o.y + tIn * ray.y - grid.y0, grid.inverse, grid.ny);
    const int stepX = ray.x > 0 ? 1 : ray.x < 0 ? -1 : 0, stepY = ray.y > 0 ? 1 : ray.y < 0 ? -1 : 0;
    double tx = stepX == 0 ? Infinity : (grid.x0 + (ix + (stepX > 0)) * grid.cell - o.x) * inverseX;
    double ty = stepY == 0 ? Infinity : (grid.y0 + (iy + (stepY > 0)) * grid.cell - o.y) * inverseY;
    const double dx = std::fabs(grid.cell * inverseX), dy = std::fabs(grid.cell * inverseY);
    const std::uint32_t stamp = next(rayStamp, rayMark);
    for (;;) {
        const std::size_t c = static_cast<std::size_t>(iy) * static_cast<std::size_t>(grid.nx) + static_cast<std::size_t>(ix);
        for (std::uint32_t k = cellStart[c]; k < cellStart[c + 1]; ++k) {
            const std::uint32_t item = cellItems[k];
            if (rayMark[item] == stamp)
                continue;
            rayMark[item] = stamp;
            test(item, o, ray, bestT, bestOrder, met, rgb);
        }
        // What later cells hold is met no nearer than where this one ends.
        const double exit = std::min(tx, ty);
        if (exit == Infinity || exit > std::min(bestT, tOut) + 1e-9 * (1 + exit))
            return;
        if (tx < ty) {
            ix += stepX;
            if (ix < 0 || ix >= grid.nx)
                return;
            tx += dx;
        } else {
            iy += stepY;
            if (iy < 0 || iy >= grid.ny)
                return;
            ty += dy;
        }
    }
}

// A ray against a wall or block: if it meets it nearer than (or as near as
// and before, in order) what it met so far, that is what it meets now.
void FastView::test(std::uint32_t item, Vec o, Vec ray, double &bestT, long long &bestOrder, std::uint64_t &met,
                    unsigned char rgb[3])
{
    ++work.obstacleTests;
    double t;
    int axis = 0;
    const bool hit = item < wallCount ? crossWall(scene.walls[item], o, ray, t)
                                      : enterBlock(scene.blocks[item - wallCount], o, ray, t, axis);
    const long long order = item;
    if (!hit || t <= 1e-9 || t > bestT || (t == bestT && order >= bestOrder))
        return;
    bestT = t;
    bestOrder = order;
    if (item < wallCount) {
        met = surface(Kind::Wall, item);
        std::copy(WallColour, WallColour + 3, rgb);
    } else {
        const double d[3] = {ray.x, ray.y, ray.z};
        met = surface(Kind::Block, item - wallCount, static_cast<unsigned>(axis * 2 + (d[axis] > 0 ? 0 : 1)));
        const auto &paint = blockPaint[item - wallCount];
        std::copy(paint.begin() + axis * 3, paint.begin() + axis * 3 + 3, rgb);
    }
}

// Whether every pixel of the square with these corners (in turn round it)
// shows what its corners show, proven without tracing them: the corners see
// one flat face (inside its edges by Margin) in one colour, and nothing else
// reaches into the pyramid from the lens to that face. Every ray of the
// square lies inside that pyramid, so it meets the same face first.
bool FastView::paintable(const int rows[4], const int columns[4])
{
    std::size_t pixels[4];
    for (int k = 0; k < 4; ++k)
        pixels[k] = static_cast<std::size_t>(rows[k]) * static_cast<std::size_t>(width) + static_cast<std::size_t>(columns[k]);
    const std::uint64_t key = surfaces[pixels[0]];
    const unsigned char *colour = out + pixels[0] * 3;
    for (int k = 1; k < 4; ++k) {
        const unsigned char *other = out + pixels[k] * 3;
        if (surfaces[pixels[k]] != key || other[0] != colour[0] || other[1] != colour[1] || other[2] != colour[2])
            return false;
    }
    const Kind kind = kindOf(key);
    if (kind == Kind::None || kind == Kind::Piece)
        return false;
    const Vec o = lens.origin;
    Vec ray[4], q[4];
    for (int k = 0; k < 4; ++k)
        ray[k] = lens.ray(us[static_cast<std::size_t>(columns[k])], vs[static_cast<std::size_t>(rows[k])]);
    if (kind == Kind::Sky) {
        // Up to the height of the highest obstacle; above it nothing is met.
        const double lid = top + Margin;
        for (int k = 0; k < 4; ++k)
            if (!(ray[k].z > 1e-9))
                return false;
        if (o.z >= lid)
            return true;
        for (int k = 0; k < 4; ++k)
            q[k] = o + ((lid - o.z) / ray[k].z) * ray[k];
    } else {
        for (int k = 0; k < 4; ++k)
            q[k] = o + distances[pixels[k]] * ray[k];
    }
    for (int k = 0; k < 4; ++k)
        if (!(std::fabs(q[k].x - o.x) <= reach && std::fabs(q[k].y - o.y) <= reach && std::fabs(q[k].z - o.z) <= reach))
            return false;
    // Off the floor, the pyramid must keep clear of it.
    if ((kind == Kind::Sky || kind == Kind::Wall || kind == Kind::Block) && !(o.z > Margin))
        return false;

    long long own = -1;
    const double fieldW = scene.fieldWidth, fieldH = scene.fieldHeight;
    switch (kind) {
    case Kind::Floor: {
        double xLow = Infinity, yLow = Infinity, xHigh = -Infinity, yHigh = -Infinity;
        for (const Vec &p : q) {
            if (!(p.x >= Margin && p.y >= Margin && p.x <= fieldW - Margin && p.y <= fieldH - Margin))
                return false;
            xLow = std::min(xLow, p.x);
            yLow = std::min(yLow, p.y);
            xHigh = std::max(xHigh, p.x);
            yHigh = std::max(yHigh, p.y);
        }
        if (!scene.floorUniform || !scene.floorUniform(xLow - Margin, yLow - Margin, xHigh + Margin, yHigh + Margin))
            return false;
        break;
    }
    case Kind::Outside:
        for (const Vec &p : q) {
            const unsigned side = faceOf(key);
            if (!(side == 0 ? p.x < -Margin : side == 1 ? p.x > fieldW + Margin : side == 2 ? p.y < -Margin : p.y > fieldH + Margin))
                return false;
        }
        break;
    case Kind::Wall: {
        const CameraScene::Wall &w = scene.walls[indexOf(key)];
        const double ex = w.x1 - w.x0, ey = w.y1 - w.y0, length2 = ex * ex + ey * ey;
        if (!(length2 > 0))
            return false;
        const double m = Margin / std::sqrt(length2);
        for (int k = 0; k < 4; ++k) {
            const double s = ((q[k].x - w.x0) * ex + (q[k].y - w.y0) * ey) / length2;
            if (!(s >= m && s <= 1 - m && q[k].z >= Margin && q[k].z <= w.height - Margin)
                || !(std::fabs(ray[k].x * ey - ray[k].y * ex) > 1e-11))
                return false;
        }
        own = indexOf(key);
        break;
    }
    case Kind::Block: {
        const CameraScene::Block &b = scene.blocks[indexOf(key)];
        const double low[3] = {b.x0, b.y0, 0}, high[3] = {b.x1, b.y1, b.height};
        const unsigned axis = faceOf(key) / 2;
        for (int k = 0; k < 4; ++k) {
            const double p[3] = {q[k].x, q[k].y, q[k].z}, d[3] = {ray[k].x, ray[k].y, ray[k].z};
            if (!(std::fabs(d[axis]) > 1e-11))
                return false;
            for (unsigned i = 0; i < 3; ++i)
                if (i != axis && !(p[i] >= low[i] + Margin && p[i] <= high[i] - Margin))
                    return false;
        }
        own = wallCount + indexOf(key);
        break;
    }
    default:
        break;
    }
    return clear(q, own, rows, columns);
}

// Whether nothing but `own` (the face's obstacle, or -1) reaches into the
// pyramid from the lens to the four points `q` (in turn round its base).
bool FastView::clear(const Vec q[4], long long own, const int rows[4], const int columns[4])
{
    // The face's plane: what lies all beyond it is hidden behind the face.
    const Vec o = lens.origin;
    Vec n = cross(q[1] - q[0], q[3] - q[0]);
    double c = dot(n, q[0]);
    if (dot(n, o) - c < 0) {
        n = -1.0 * n;
        c = -c;
    }
    if (!(dot(n, o) - c > 0))
        return false;
    const double margin = Margin * std::sqrt(dot(n, n));
    auto hidden = [&](const Vec *v, int count) {
        for (int i = 0; i < count; ++i)
            if (dot(n, v[i]) - c >= -margin)
                return false;
        return true;
    };
    // What reaches into the pyramid shows in the square, and lies before
    // the face.
    const int rowLow = rows[0], rowHigh = rows[2], columnLow = columns[0], columnHigh = columns[1];
    Vec v[8];
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (!covers(pieceOutlines[k], rowLow, columnLow, rowHigh, columnHigh))
            continue;
        ++work.obstacleTests;
        const int count = pieces[k].corners(v);
        if (!hidden(v, count) && showsBefore(v, count, n, c, margin, rowLow, columnLow, rowHigh, columnHigh))
            return false;
    }
    auto apart = [&](std::uint32_t item) {
        if (static_cast<long long>(item) == own
            || !covers(staticOutline(item), rowLow, columnLow, rowHigh, columnHigh))
            return true;
        ++work.obstacleTests;
        const int count = corners(item, v);
        return hidden(v, count) || !showsBefore(v, count, n, c, margin, rowLow, columnLow, rowHigh, columnHigh);
    };
    if (few) {
        for (std::uint32_t item = 0; item < staticCount; ++item)
            if (!apart(item))
                return false;
        return true;
    }
    // Among many, those in the cells under the pyramid.
    const Point2 footprint[5] = {{o.x, o.y}, {q[0].x, q[0].y}, {q[1].x, q[1].y}, {q[2].x, q[2].y}, {q[3].x, q[3].y}};
    const std::uint32_t stamp = next(checkStamp, checkMark);
    int cells = 0;
    return grid.visitHull(footprint, 5, [&](int cell) {
        if (++cells > 1 << 16)
            return false;
        for (std::uint32_t k = cellStart[static_cast<std::size_t>(cell)]; k < cellStart[static_cast<std::size_t>(cell) + 1]; ++k) {
            const std::uint32_t item = cellItems[k];
            if (checkMark[item] == stamp)
                continue;
            checkMark[item] = stamp;
            if (!apart(item))
                return false;
        }
        return true;
    });
}

} // namespace view

struct CameraView::Impl : view::FastView
{
    using FastView::FastView;
};

CameraView::CameraView(CameraScene scene, CameraMount mount)
    : m_impl(std::make_unique<Impl>(std::move(scene), mount))
{
}

CameraView::~CameraView() = default;

void CameraView::render(const CameraPose &pose, unsigned char *rgb, int width, int height)
{
    m_impl->given.clear();
    if (m_impl->scene.movingPieces)
        m_impl->scene.movingPieces(m_impl->given);
    m_impl->render(pose, rgb, width, height);
}

void CameraView::render(const CameraPose &pose, const std::vector<CameraScene::Piece> &pieces, unsigned char *rgb,
                        int width, int height)
{
    m_impl->given = pieces;
    m_impl->render(pose, rgb, width, height);
}

const CameraView::Work &CameraView::lastWork() const
{
    return m_impl->work;
}

const CameraScene &CameraView::scene() const
{
    return m_impl->scene;
}

} // namespace kxsim
