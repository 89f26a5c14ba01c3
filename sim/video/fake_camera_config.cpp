#include "video/fake_camera_config.h"

#include "fakes/fake_device.h"

#include <cerrno>
#include <cstring>
#include <mutex>

namespace kxsim {

namespace {

constexpr char ConfigPath[] = "/etc/kestrix/camera";

std::mutex &configLock()
{
    static std::mutex s_lock;
    return s_lock;
}

class ConfigFiles : public FakeDevice
{
public:
    bool claims(const char *path) const override { return !FakeCameraConfig::instance().redirect(path).empty(); }

    int open(const char *path, int flags) override
    {
        const std::string redirected = FakeCameraConfig::instance().redirect(path);
        const int fd = realOpen(redirected.c_str(), flags);
        if (fd >= 0)
            FakeCameraConfig::instance().opened(redirected);
        return fd;
    }

    int ioctl(int, unsigned long, void *) override
    {
        errno = ENOTTY;
        return -1;
    }
};

const Registered<ConfigFiles> s_cameraConfig;

} // namespace

FakeCameraConfig &FakeCameraConfig::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeCameraConfig &s_instance = *new FakeCameraConfig;
    return s_instance;
}

void FakeCameraConfig::serveFrom(const std::string &folder)
{
    std::lock_guard<std::mutex> guard(configLock());
    m_folder = folder;
}

std::string FakeCameraConfig::redirect(const char *path) const
{
    if (path == nullptr)
        return {};
    const std::size_t length = sizeof ConfigPath - 1;
    if (std::strncmp(path, ConfigPath, length) != 0 || (path[length] != '\0' && path[length] != '/'))
        return {};
    std::lock_guard<std::mutex> guard(configLock());
    if (m_folder.empty())
        return {};
    return m_folder + (path + length);
}

std::string FakeCameraConfig::lastOpened() const
{
    std::lock_guard<std::mutex> guard(configLock());
    return m_lastOpened;
}

void FakeCameraConfig::opened(const std::string &path)
{
    std::lock_guard<std::mutex> guard(configLock());
    m_lastOpened = path;
}

} // namespace kxsim
