#include "world/camera_view.h"

#include "model/angles.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kxsim {

namespace {

constexpr unsigned char Beyond[3] = {30, 30, 36};    // past the field's edge
constexpr unsigned char WallColour[3] = {170, 165, 160};

struct Vec
{
    double x, y, z;
};

Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator*(double k, Vec a) { return {k * a.x, k * a.y, k * a.z}; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

// The nearest hit along a ray so far, and what it shows.
struct Hit
{
    double distance = std::numeric_limits<double>::infinity();
    unsigned char rgb[3] = {Beyond[0], Beyond[1], Beyond[2]};

    void offer(double t, const unsigned char colour[3], double shade)
    {
        if (t <= 1e-9 || t >= distance)
            return;
        distance = t;
        for (int i = 0; i < 3; ++i)
            rgb[i] = static_cast<unsigned char>(std::lround(colour[i] * shade));
    }
};

// Slab test against a box from the floor up; `shade` darkens the sides a
// little (light from above) without changing the hue.
void hitBlock(const CameraScene::Block &block, Vec origin, Vec ray, Hit &hit)
{
    const double low[3] = {block.x0, block.y0, 0};
    const double high[3] = {block.x1, block.y1, block.height};
    const double o[3] = {origin.x, origin.y, origin.z};
    const double d[3] = {ray.x, ray.y, ray.z};
    double enter = -std::numeric_limits<double>::infinity();
    double leave = std::numeric_limits<double>::infinity();
    int axis = 0;
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(d[i]) < 1e-12) {
            if (o[i] < low[i] || o[i] > high[i])
                return;
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
    if (enter <= leave && enter > 0)
        hit.offer(enter, block.rgb, axis == 2 ? 1.0 : axis == 0 ? 0.9 : 0.8);
}

void hitWall(const CameraScene::Wall &wall, Vec origin, Vec ray, Hit &hit)
{
    // Where the ray's ground track crosses the wall's line.
    const double ex = wall.x1 - wall.x0, ey = wall.y1 - wall.y0;
    const double denominator = ray.x * ey - ray.y * ex;
    if (std::fabs(denominator) < 1e-12)
        return;
    const double wx = wall.x0 - origin.x, wy = wall.y0 - origin.y;
    const double t = (wx * ey - wy * ex) / denominator;
    const double s = (wx * ray.y - wy * ray.x) / denominator;
    const double z = origin.z + t * ray.z;
    if (s >= 0 && s <= 1 && z >= 0 && z <= wall.height)
        hit.offer(t, WallColour, 1.0);
}

void hitFloor(const CameraScene &scene, Vec origin, Vec ray, Hit &hit)
{
    if (ray.z >= 0)
        return;
    const double t = -origin.z / ray.z;
    if (t >= hit.distance)
        return;
    const double x = origin.x + t * ray.x, y = origin.y + t * ray.y;
    if (x < 0 || y < 0 || x > scene.fieldWidth || y > scene.fieldHeight)
        return;
    const double reflectance = scene.floorReflectance ? std::clamp(scene.floorReflectance(x, y), 0.0, 1.0) : 0.9;
    const auto grey = static_cast<unsigned char>(std::lround(30 + 200 * reflectance));
    const unsigned char colour[3] = {grey, grey, grey};
    hit.offer(t, colour, 1.0);
}

} // namespace

void renderCamera(const CameraScene &scene, const CameraMount &mount, const CameraPose &pose, unsigned char *rgb,
                  int width, int height)
{
    const double heading = pose.headingDeg * Pi / 180;
    const double yaw = heading + mount.yawDeg * Pi / 180;
    const double pitch = mount.pitchDeg * Pi / 180;
    const Vec origin{pose.x + mount.forward * std::cos(heading) - mount.left * std::sin(heading),
                     pose.y + mount.forward * std::sin(heading) + mount.left * std::cos(heading), mount.height};
    const Vec forward{std::cos(yaw) * std::cos(pitch), std::sin(yaw) * std::cos(pitch), std::sin(pitch)};
    const Vec right{std::sin(yaw), -std::cos(yaw), 0};
    const Vec up = cross(right, forward);
    const double halfWidth = std::tan(mount.fieldOfViewDeg * Pi / 360);
    const double halfHeight = halfWidth * height / width;
    for (int row = 0; row < height; ++row) {
        const double v = (1 - 2 * (row + 0.5) / height) * halfHeight;
        for (int column = 0; column < width; ++column, rgb += 3) {
            const double u = (2 * (column + 0.5) / width - 1) * halfWidth;
            const Vec ray = forward + u * right + v * up;
            Hit hit;
            hitFloor(scene, origin, ray, hit);
            for (const CameraScene::Wall &wall : scene.walls)
                hitWall(wall, origin, ray, hit);
            for (const CameraScene::Block &block : scene.blocks)
                hitBlock(block, origin, ray, hit);
            rgb[0] = hit.rgb[0];
            rgb[1] = hit.rgb[1];
            rgb[2] = hit.rgb[2];
        }
    }
}

} // namespace kxsim
