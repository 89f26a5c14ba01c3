// What a camera on the robot sees: a pinhole camera at a mount on the robot
// looking over a flat floor with coloured blocks, walls and movable pieces on
// it, rendered into RGB pictures; the simulated camera
// (video/simulated_camera.h) feeds them to the fake video device. Lengths are
// metres, angles degrees counter-clockwise from the field's +x axis, z up
// from the floor.
#ifndef KESTRIX_SIM_CAMERA_VIEW_H
#define KESTRIX_SIM_CAMERA_VIEW_H

#include <functional>
#include <memory>
#include <vector>

namespace kxsim {

// An edge of the paint on the floor: the points at `radius` from the
// segment a-b (radius 0: the segment itself; a tape's width makes the
// outline of a band with round ends).
struct FloorEdge
{
    double ax, ay, bx, by;
    double radius;
};

struct CameraScene
{
    struct Block
    {
        double x0, y0, x1, y1; // footprint, x0 <= x1, y0 <= y1
        double height;
        unsigned char rgb[3];
    };
    struct Wall
    {
        double x0, y0, x1, y1;
        double height;
    };
    // A game piece that moves with the physics, standing on the floor or
    // lifted `base` above it (held up by an arm): a box `2 * halfLength` long
    // along its heading and `2 * halfWidth` across, or a disc of `radius`.
    // Drawn like the blocks: the top in its colour, the sides a little
    // darker.
    struct Piece
    {
        enum class Shape { Box, Disc };
        Shape shape = Shape::Box;
        double x = 0, y = 0;                  // centre
        double halfLength = 0, halfWidth = 0; // Box
        double headingDeg = 0;                // Box
        double radius = 0;                    // Disc
        double height = 0;
        double base = 0; // its underside above the floor
        unsigned char rgb[3] = {0, 0, 0};
    };

    std::vector<Block> blocks;
    std::vector<Wall> walls;
    // Fills `pieces` (empty on entry, its room kept from the last picture)
    // with the movable pieces where they stand now; asked once a picture.
    // Pieces stay out of the index of the walls and blocks, which is built
    // once: each picture takes them as they come.
    std::function<void(std::vector<Piece> &pieces)> movingPieces;
    // Reflectance of the floor (0 black .. 1 white) at a point; the floor
    // is grey of that brightness. Outside the field nothing is floor.
    std::function<double(double x, double y)> floorReflectance;
    // Optional: true only when floorReflectance is the same everywhere in
    // the rectangle [x0, x1] x [y0, y1] (false when unsure). With it the view
    // paints stretches of plain floor without asking for each pixel.
    std::function<bool(double x0, double y0, double x1, double y1)> floorUniform;
    // Optional: adds to `edges` every edge of the floor's paint that comes
    // within a micrometre of the rectangle [x0, x1] x [y0, y1]. Along a
    // straight stretch of floor in the rectangle that keeps more than that
    // from all of them, floorReflectance is the same throughout. With it the
    // view paints the floor row by row between its edges.
    std::function<void(double x0, double y0, double x1, double y1, std::vector<FloorEdge> &edges)> floorEdges;
    double fieldWidth = 0;
    double fieldHeight = 0;
};

struct CameraMount
{
    double forward = 0.05;  // from the robot's centre along its heading
    double left = 0;
    double height = 0.12;   // lens above the floor
    double yawDeg = 0;      // relative to the robot's heading
    double pitchDeg = -15;  // negative looks down
    double fieldOfViewDeg = 60; // horizontal
};

struct CameraPose
{
    double x = 0, y = 0, headingDeg = 0;
};

// Renders the view from `pose` into `rgb` (three bytes a pixel, rows of
// `width` pixels) the plain way: every pixel's ray against the floor and
// every wall, block and piece. Slow; CameraView gives the same pictures fast,
// and is held to this one by the tests.
void renderCamera(const CameraScene &scene, const CameraMount &mount, const CameraPose &pose, unsigned char *rgb,
                  int width, int height);

// The camera's view made fast, picture for picture the same as
// renderCamera's. The walls and blocks go into a grid over the field once;
// a ray walks only the cells it crosses, up to the first thing it meets. The
// picture is cut into squares: one whose corners see the same face
// (floor of one grey, a wall, a side of a block or a piece, the sky) with nothing else
// inside the pyramid from the lens to that face is painted in one go, and the
// others are cut smaller, down to single pixels.
class CameraView
{
public:
    CameraView(CameraScene scene, CameraMount mount);
    ~CameraView();
    CameraView(const CameraView &) = delete;
    CameraView &operator=(const CameraView &) = delete;

    // The pieces as scene.movingPieces gives them now, then render().
    void render(const CameraPose &pose, unsigned char *rgb, int width, int height);
    // With the pieces given.
    void render(const CameraPose &pose, const std::vector<CameraScene::Piece> &pieces, unsigned char *rgb, int width,
                int height);

    // What the last picture cost.
    struct Work
    {
        long long rays = 0;          // pixels whose ray was followed
        long long obstacleTests = 0; // a ray or a pyramid against a wall, block or piece
        long long areasPainted = 0;  // squares painted in one go
    };
    const Work &lastWork() const;
    const CameraScene &scene() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kxsim

#endif
