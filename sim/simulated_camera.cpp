#include "simulated_camera.h"

#include "fake_camera_config.h"
#include "fake_video.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace kxsim {

bool startSimulatedCamera(const SimulatedCamera &camera, std::function<CameraPose()> pose, const std::string &folder,
                          std::string &error)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    for (const auto &config : camera.configs) {
        if (config.first.empty() || config.first.find('/') != std::string::npos) {
            error = "camera configuration name \"" + config.first + "\" is not a file name";
            return false;
        }
        const std::string path = folder + "/" + config.first + ".conf";
        FILE *file = std::fopen(path.c_str(), "w");
        const bool written = file != nullptr && std::fputs(config.second.c_str(), file) >= 0;
        if (file == nullptr || std::fclose(file) != 0 || !written) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    FakeCameraConfig::instance().serveFrom(folder);
    FakeVideo &video = FakeVideo::instance();
    video.setFrameSource(cameraRenderer(camera.scene, camera.mount, std::move(pose)));
    video.plugIn(camera.number, camera.framesPerSecond);
    return true;
}

} // namespace kxsim
