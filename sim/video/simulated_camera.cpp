#include "video/simulated_camera.h"

#include "video/fake_camera_config.h"
#include "video/fake_video.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace kxsim {

namespace {

bool samePieces(const std::vector<CameraScene::Piece> &a, const std::vector<CameraScene::Piece> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CameraScene::Piece &p, const CameraScene::Piece &q) {
        return p.shape == q.shape && p.x == q.x && p.y == q.y && p.halfLength == q.halfLength
            && p.halfWidth == q.halfWidth && p.headingDeg == q.headingDeg && p.radius == q.radius
            && p.height == q.height && p.base == q.base && std::memcmp(p.rgb, q.rgb, sizeof p.rgb) == 0;
    });
}

// Renders the view from wherever `pose` says the robot is when a picture is
// taken. Pictures taken together (buffers that waited while the program was
// busy) or of a robot standing still show the same: the last one's colours
// are sent again.
class Renderer
{
public:
    Renderer(const CameraScene &scene, const CameraMount &mount, std::function<CameraPose()> pose)
        : m_view(scene, mount), m_pose(std::move(pose))
    {
    }

    void operator()(unsigned char *yuyv, int width, int height, std::size_t bytesPerLine)
    {
        const CameraPose pose = m_pose ? m_pose() : CameraPose{};
        m_pieces.clear();
        if (m_view.scene().movingPieces)
            m_view.scene().movingPieces(m_pieces);
        const bool same = m_rendered && width == m_width && height == m_height && pose.x == m_last.x
            && pose.y == m_last.y && pose.headingDeg == m_last.headingDeg && samePieces(m_pieces, m_lastPieces);
        if (!same) {
            m_rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
            m_view.render(pose, m_pieces, m_rgb.data(), width, height);
            m_rendered = true;
            m_width = width;
            m_height = height;
            m_last = pose;
            m_lastPieces.swap(m_pieces);
        }
        encodeYuyv(m_rgb.data(), width, height, yuyv, bytesPerLine);
    }

private:
    CameraView m_view;
    std::function<CameraPose()> m_pose;
    std::vector<CameraScene::Piece> m_pieces, m_lastPieces;
    std::vector<unsigned char> m_rgb; // the last picture rendered
    bool m_rendered = false;
    int m_width = 0, m_height = 0;
    CameraPose m_last;
};

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
    auto renderer = std::make_shared<Renderer>(camera.scene, camera.mount, std::move(pose));
    video.setFrameSource([renderer](unsigned char *yuyv, int width, int height, std::size_t bytesPerLine,
                                    std::uint32_t) { (*renderer)(yuyv, width, height, bytesPerLine); });
    video.plugIn(camera.number, camera.framesPerSecond);
    return true;
}

} // namespace kxsim
