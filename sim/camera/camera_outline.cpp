// The fast view's outlines: where each obstacle may show on a picture.
#include "camera/camera_fast.h"

namespace kxsim {

namespace view {

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

// The outline on the picture of a wall (four corners), a box (eight,
// numbered by three bits, one an axis) or a disc's prism (outlineCorners):
// the hull of its corners' places and of where its edges pass the lens's
// plane, its part behind the lens cut off.
Outline FastView::outline(const Vec *v, int count)
{
    constexpr double Near = 1e-10; // nearer than any hit that counts
    static constexpr int WallEdges[4][2] = {{0, 1}, {1, 3}, {3, 2}, {2, 0}};
    static constexpr int BoxEdges[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                            {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
    static const auto PrismEdges = [] {
        std::array<std::array<int, 2>, 3 * DiscSides> edges{};
        for (int k = 0; k < DiscSides; ++k) {
            edges[std::size_t(k)] = {k, (k + 1) % DiscSides};
            edges[std::size_t(DiscSides + k)] = {DiscSides + k, DiscSides + (k + 1) % DiscSides};
            edges[std::size_t(2 * DiscSides + k)] = {k, DiscSides + k};
        }
        return edges;
    }();
    Vec d[OutlineCorners];
    double z[OutlineCorners];
    Point2 points[OutlineCorners + 3 * DiscSides];
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
    const int edgeCount = count == 4 ? 4 : count == 8 ? 12 : 3 * DiscSides;
    for (int e = 0; e < edgeCount; ++e) {
        const int a = count == 4 ? WallEdges[e][0] : count == 8 ? BoxEdges[e][0] : PrismEdges[std::size_t(e)][0];
        const int b = count == 4 ? WallEdges[e][1] : count == 8 ? BoxEdges[e][1] : PrismEdges[std::size_t(e)][1];
        if ((z[a] >= Near) != (z[b] >= Near))
            take(d[a] + ((Near - z[a]) / (z[b] - z[a])) * (d[b] - d[a]), Near);
    }
    Outline shape;
    shape.first = static_cast<std::uint32_t>(outlinePoints.size());
    if (n == 0)
        return shape;
    Point2 hull[2 * (OutlineCorners + 3 * DiscSides)];
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

} // namespace view

} // namespace kxsim
