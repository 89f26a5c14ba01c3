// What a camera on the robot sees: a pinhole camera at a mount on the robot
// looking over a flat floor with coloured blocks and walls on it, rendered
// into RGB pictures; the simulated camera (video/simulated_camera.h) feeds
// them to the fake video device. Lengths are metres, angles degrees
// counter-clockwise from the field's +x axis, z up from the floor.
#ifndef KESTRIX_SIM_CAMERA_VIEW_H
#define KESTRIX_SIM_CAMERA_VIEW_H

#include <functional>
#include <vector>

namespace kxsim {

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

    std::vector<Block> blocks;
    std::vector<Wall> walls;
    // Reflectance of the floor (0 black .. 1 white) at a point; the floor
    // is grey of that brightness. Outside the field nothing is floor.
    std::function<double(double x, double y)> floorReflectance;
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
// `width` pixels).
void renderCamera(const CameraScene &scene, const CameraMount &mount, const CameraPose &pose, unsigned char *rgb,
                  int width, int height);

} // namespace kxsim

#endif
