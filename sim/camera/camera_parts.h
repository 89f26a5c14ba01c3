// The pieces both renderers share: the lens and its rays, the obstacles'
// faces met along a ray, the floor's shade. Private to the camera.
#ifndef KESTRIX_SIM_CAMERA_PARTS_H
#define KESTRIX_SIM_CAMERA_PARTS_H

#include "camera/camera_view.h"
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

inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator*(double k, Vec a) { return {k * a.x, k * a.y, k * a.z}; }
inline Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline unsigned char shaded(unsigned char colour, double shade)
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
inline bool enterBox(const double low[3], const double high[3], const double o[3], const double d[3], double &enter,
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

inline bool enterBlock(const CameraScene::Block &block, Vec origin, Vec ray, double &t, int &axis)
{
    const double low[3] = {block.x0, block.y0, 0};
    const double high[3] = {block.x1, block.y1, block.height};
    const double o[3] = {origin.x, origin.y, origin.z};
    const double d[3] = {ray.x, ray.y, ray.z};
    return enterBox(low, high, o, d, t, axis);
}

inline bool crossWall(const CameraScene::Wall &wall, Vec origin, Vec ray, double &t)
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
// The sides of the prism that outlines a disc, and the most corners an
// outline is made of.
constexpr int DiscSides = 12;
constexpr int OutlineCorners = 2 * DiscSides;

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
            const double low[3] = {-piece.halfLength, -piece.halfWidth, piece.base};
            const double high[3] = {piece.halfLength, piece.halfWidth, piece.base + piece.height};
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
            if (origin.z < piece.base || origin.z > piece.base + piece.height)
                return false;
        } else {
            topIn = (piece.base - origin.z) / ray.z;
            topOut = (piece.base + piece.height - origin.z) / ray.z;
            if (topIn > topOut)
                std::swap(topIn, topOut);
        }
        axis = topIn > sideIn ? 2 : 0;
        t = std::max(topIn, sideIn);
        return t <= std::min(topOut, sideOut) && t > 0;
    }

    // The face a ray entered through (enter's axis): a box's as a block's,
    // the axis and which way the ray crossed it; a disc's side 0, top 4.
    unsigned face(Vec ray, int axis) const
    {
        if (piece.shape == CameraScene::Piece::Shape::Disc)
            return axis == 2 ? 4 : 0;
        const double d[3] = {c * ray.x + s * ray.y, -s * ray.x + c * ray.y, ray.z};
        return static_cast<unsigned>(axis * 2 + (d[axis] > 0 ? 0 : 1));
    }

    // Corners of a prism around it for its outline on a picture: a box's
    // own eight; round a disc, the twelve-sided prism whose sides touch it
    // (a micrometre out), its corners round the foot first, then round the
    // top. Their number.
    int outlineCorners(Vec out[OutlineCorners]) const
    {
        if (piece.shape == CameraScene::Piece::Shape::Box)
            return corners(out);
        static const auto around = [] {
            std::array<std::array<double, 2>, DiscSides> unit{};
            for (int k = 0; k < DiscSides; ++k)
                unit[std::size_t(k)] = {std::cos(2 * Pi * k / DiscSides), std::sin(2 * Pi * k / DiscSides)};
            return unit;
        }();
        const double corner = piece.radius / std::cos(Pi / DiscSides) + 1e-6;
        for (int k = 0; k < DiscSides; ++k) {
            const double x = piece.x + corner * around[std::size_t(k)][0], y = piece.y + corner * around[std::size_t(k)][1];
            out[k] = {x, y, piece.base};
            out[k + DiscSides] = {x, y, piece.base + piece.height};
        }
        return 2 * DiscSides;
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
        for (double z : {piece.base, piece.base + piece.height})
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

inline unsigned char floorGrey(const CameraScene &scene, double x, double y)
{
    const double reflectance = scene.floorReflectance ? std::clamp(scene.floorReflectance(x, y), 0.0, 1.0) : 0.9;
    // Rounded half up, as lround does for these positive values.
    return static_cast<unsigned char>(30 + 200 * reflectance + 0.5);
}

inline void hitFloor(const CameraScene &scene, Vec origin, Vec ray, Hit &hit)
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

} // namespace kxsim

#endif
