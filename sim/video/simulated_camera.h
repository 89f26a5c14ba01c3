// The camera on a simulated robot, put together: the fake video device at
// /dev/video<number> rendering the scene from the robot's pose, and the
// camera's configuration folder served from files written for the run. The
// world loader fills a SimulatedCamera from the world file; the simulation
// starts it with a function that reads the robot's pose.
#ifndef KESTRIX_SIM_SIMULATED_CAMERA_H
#define KESTRIX_SIM_SIMULATED_CAMERA_H

#include "camera/camera_view.h"

#include <functional>
#include <map>
#include <string>

namespace kxsim {

struct SimulatedCamera
{
    int number = 0;
    double framesPerSecond = 30;
    CameraMount mount;
    CameraScene scene;
    // Configuration name -> text of "<name>.conf", as camera_load_config reads it.
    std::map<std::string, std::string> configs;
};

// Writes the configurations into `folder` (created if missing), serves
// /etc/kestrix/camera from it, and plugs the camera in. False with `error`
// set (and nothing plugged in) when a file cannot be written or a
// configuration name is not a plain file name.
bool startSimulatedCamera(const SimulatedCamera &camera, std::function<CameraPose()> pose, const std::string &folder,
                          std::string &error);

} // namespace kxsim

#endif
