// The camera's configuration folder as the library reads it:
// /etc/kestrix/camera, redirected (through the interposed opens) to a folder
// that a test or the simulator writes. Until serveFrom() is called every
// path goes to the real system unchanged.
#ifndef KESTRIX_SIM_FAKE_CAMERA_CONFIG_H
#define KESTRIX_SIM_FAKE_CAMERA_CONFIG_H

#include <string>

namespace kxsim {

class FakeCameraConfig
{
public:
    static FakeCameraConfig &instance();

    // Serves /etc/kestrix/camera from `folder`; "" goes back to the real one.
    void serveFrom(const std::string &folder);
    // The path a library path is redirected to; empty when not redirected.
    std::string redirect(const char *path) const;
    // The file a library path last opened through redirect() went to.
    std::string lastOpened() const;
    void opened(const std::string &path);

private:
    FakeCameraConfig() = default;
    std::string m_folder;
    std::string m_lastOpened;
};

} // namespace kxsim

#endif
