#include "video/simulated_camera.h"

#include "video/fake_camera_config.h"
#include "video/fake_video.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace kxsim {

namespace {

// A frame source for FakeVideo that renders the view from wherever `pose`
// says the robot is when a picture is taken.
FrameSource cameraRenderer(CameraScene scene, CameraMount mount, std::function<CameraPose()> pose)
{
    return [scene = std::move(scene), mount, pose = std::move(pose)](unsigned char *yuyv, int width, int height,
                                                                     std::size_t bytesPerLine, std::uint32_t) {
        std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
        renderCamera(scene, mount, pose ? pose() : CameraPose{}, rgb.data(), width, height);
        encodeYuyv(rgb.data(), width, height, yuyv, bytesPerLine);
    };
}

} // namespace

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
