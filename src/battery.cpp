#include "private/battery_p.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::mutex s_rootLock;
std::string s_root = "/sys";

// The first line of a small sysfs attribute, without its newline.
std::optional<std::string> readAttribute(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char buffer[128];
    ssize_t length;
    do
        length = ::read(fd, buffer, sizeof buffer - 1);
    while (length < 0 && errno == EINTR);
    ::close(fd);
    if (length < 0)
        return std::nullopt;
    std::string text(buffer, static_cast<std::size_t>(length));
    const std::size_t end = text.find('\n');
    if (end != std::string::npos)
        text.resize(end);
    return text;
}

// The folder of the first supply of type Battery, if any.
std::optional<std::string> batteryFolder()
{
    const std::string classFolder = Battery::sysfsRoot() + "/class/power_supply";
    DIR *dir = ::opendir(classFolder.c_str());
    if (dir == nullptr)
        return std::nullopt;
    std::vector<std::string> names;
    // The 64-bit interface: on a 32-bit ABI plain readdir fails with
    // EOVERFLOW on file systems whose directory offsets need 64 bits.
    while (const dirent64 *entry = ::readdir64(dir)) {
        if (entry->d_name[0] != '.')
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string folder = classFolder + "/" + name;
        if (readAttribute(folder + "/type") == std::optional<std::string>("Battery"))
            return folder;
    }
    return std::nullopt;
}

} // namespace

float Battery::powerLevel()
{
    const auto folder = batteryFolder();
    if (!folder)
        return NAN;
    const auto microvolts = readAttribute(*folder + "/voltage_now");
    if (!microvolts || microvolts->empty())
        return NAN;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(microvolts->c_str(), &end, 10);
    if (errno != 0 || end == microvolts->c_str())
        return NAN;
    return static_cast<float>(static_cast<double>(value) / 1e6);
}

bool Battery::isCharging()
{
    const auto folder = batteryFolder();
    return folder && readAttribute(*folder + "/status") == std::optional<std::string>("Charging");
}

void Battery::setSysfsRoot(const std::string &root)
{
    std::lock_guard<std::mutex> guard(s_rootLock);
    s_root = root;
}

std::string Battery::sysfsRoot()
{
    std::lock_guard<std::mutex> guard(s_rootLock);
    return s_root;
}
