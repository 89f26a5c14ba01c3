// The fast view's painting: squares proven plain, rays traced elsewhere.
#include "camera/camera_fast.h"

namespace kxsim {

namespace view {

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
    Vec v[OutlineCorners];
    for (const CameraScene::Piece &piece : given) {
        pieces.emplace_back(piece);
        pieceOutlines.push_back(outline(v, pieces.back().outlineCorners(v)));
        top = std::max(top, piece.base + piece.height);
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
    const bool floor = kindOf(surfaces[static_cast<std::size_t>(r0) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c0)]) == Kind::Floor;
    if (floor ? floorOnly(r0, c0, r1, c1) : paintable(rows, columns)) {
        ++work.areasPainted;
        if (!floor)
            fill(r0, c0, r1, c1);
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

// Paints the square in the colour of its first corner.
void FastView::fill(int r0, int c0, int r1, int c1)
{
    unsigned char *first = out + (static_cast<std::size_t>(r0) * static_cast<std::size_t>(width) + static_cast<std::size_t>(c0)) * 3;
    const unsigned char rgb[3] = {first[0], first[1], first[2]};
    const std::size_t bytes = static_cast<std::size_t>(c1 - c0 + 1) * 3, stride = static_cast<std::size_t>(width) * 3;
    for (std::size_t i = 0; i < bytes; i += 3)
        std::memcpy(first + i, rgb, 3);
    for (int row = r0 + 1; row <= r1; ++row)
        std::memcpy(first + static_cast<std::size_t>(row - r0) * stride, first, bytes);
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
            met = surface(Kind::Piece, static_cast<std::uint32_t>(k), pieces[k].face(ray, axis));
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
// square lies inside that pyramid, so it meets the same face first. A
// piece's faces are flat too but for a disc's round side, which has a proof
// of its own below. The floor has its own proof (floorOnly).
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
    if (kind == Kind::None || kind == Kind::Floor)
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
    if ((kind == Kind::Sky || kind == Kind::Wall || kind == Kind::Block || kind == Kind::Piece) && !(o.z > Margin))
        return false;

    long long own = -1;
    const double fieldW = scene.fieldWidth, fieldH = scene.fieldHeight;
    switch (kind) {
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
    case Kind::Piece: {
        const std::uint32_t index = indexOf(key);
        own = static_cast<long long>(staticCount) + index;
        const ReadyPiece &ready = pieces[index];
        const CameraScene::Piece &p = ready.piece;
        const unsigned axis = faceOf(key) / 2;
        if (p.shape == CameraScene::Piece::Shape::Box) {
            // A flat face, as a block's, in the piece's own axes.
            const double low[3] = {-p.halfLength, -p.halfWidth, p.base};
            const double high[3] = {p.halfLength, p.halfWidth, p.base + p.height};
            for (int k = 0; k < 4; ++k) {
                const double dx = q[k].x - p.x, dy = q[k].y - p.y;
                const double at[3] = {ready.c * dx + ready.s * dy, -ready.s * dx + ready.c * dy, q[k].z};
                const double d[3] = {ready.c * ray[k].x + ready.s * ray[k].y, -ready.s * ray[k].x + ready.c * ray[k].y,
                                     ray[k].z};
                if (!(std::fabs(d[axis]) > 1e-11))
                    return false;
                for (unsigned i = 0; i < 3; ++i)
                    if (i != axis && !(at[i] >= low[i] + Margin && at[i] <= high[i] - Margin))
                        return false;
            }
            break;
        }
        // A disc seen from above its top: every ray of the square goes down.
        const double lid = p.base + p.height;
        if (!(o.z > lid + Margin) || !(p.radius > 2 * Margin) || !(p.height > 2 * Margin))
            return false;
        for (int k = 0; k < 4; ++k)
            if (!(ray[k].z < 0))
                return false;
        // Where the square's rays cross the plane of the top: the convex
        // quadrilateral of where its corners' do.
        Point2 across[4];
        for (int k = 0; k < 4; ++k) {
            const double t = (lid - o.z) / ray[k].z;
            across[k] = {o.x + t * ray[k].x - p.x, o.y + t * ray[k].y - p.y};
        }
        if (axis == 2) {
            // The top is flat and round: corners inside it, all inside it.
            const double inner = (p.radius - Margin) * (p.radius - Margin);
            for (const Point2 &a : across)
                if (!(a.x * a.x + a.y * a.y <= inner))
                    return false;
            break;
        }
        // The round side: every ray of the square meets the disc (the
        // corners' meet it shrunk by Margin, and what the rays from the lens
        // to a convex body meet is convex), none crosses its top (the
        // quadrilateral keeps Margin clear of it), so each enters through
        // the side. The side seen lies on the lens's side of the upright
        // plane through the disc's axis, square to the lens's direction.
        if (!(distanceFromOrigin(across) > p.radius + Margin))
            return false;
        CameraScene::Piece shrunk = p;
        shrunk.radius -= Margin;
        shrunk.base += Margin;
        shrunk.height -= 2 * Margin;
        const ReadyPiece inside(shrunk);
        for (int k = 0; k < 4; ++k) {
            double t;
            int entered;
            if (!inside.enter(o, ray[k], t, entered))
                return false;
        }
        const Vec n{o.x - p.x, o.y - p.y, 0};
        return clear(q, own, rows, columns, &n, dot(n, Vec{p.x, p.y, 0}));
    }
    default:
        break;
    }
    return clear(q, own, rows, columns);
}

// How far the convex quadrilateral `corners` (in turn round it) keeps from
// the point (0, 0): 0 when it holds it.
double FastView::distanceFromOrigin(const Point2 corners[4])
{
    bool left = true, right = true;
    double nearest = Infinity;
    for (int k = 0; k < 4; ++k) {
        const Point2 &a = corners[k], &b = corners[(k + 1) % 4];
        const double turn = a.x * b.y - a.y * b.x; // the origin's side of a-b
        left = left && turn >= 0;
        right = right && turn <= 0;
        const double ex = b.x - a.x, ey = b.y - a.y, length2 = ex * ex + ey * ey;
        const double s = length2 > 0 ? std::clamp(-(a.x * ex + a.y * ey) / length2, 0.0, 1.0) : 0;
        nearest = std::min(nearest, std::hypot(a.x + s * ex, a.y + s * ey));
    }
    return left || right ? 0 : nearest;
}

// Whether nothing but `own` (the face's obstacle, or -1) reaches into the
// pyramid from the lens to the four points `q` (in turn round its base).
bool FastView::clear(const Vec q[4], long long own, const int rows[4], const int columns[4], const Vec *plane,
                     double offset)
{
    // The face's plane (or a plane given that what the square shows lies
    // before): what lies all beyond it is hidden behind the face.
    const Vec o = lens.origin;
    Vec n = plane ? *plane : cross(q[1] - q[0], q[3] - q[0]);
    double c = plane ? offset : dot(n, q[0]);
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
        if (static_cast<long long>(staticCount + k) == own
            || !covers(pieceOutlines[k], rowLow, columnLow, rowHigh, columnHigh))
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

} // namespace kxsim
