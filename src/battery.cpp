#include "private/battery_p.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *ClassFolder = "/sys/class/power_supply";
// Above any battery a controller of this kind carries; a larger reading is a
// fault, not a voltage.
constexpr long long MaxMicrovolts = 100000000;
// Every attribute read here is a few bytes; a longer file is not one of them.
constexpr std::size_t MaxAttributeLength = 64;

// The whole of a small attribute file without its one trailing newline.
// Only a regular file is read: a FIFO or a device under the folder must
// neither block the caller nor be consumed.
std::optional<std::string> readAttribute(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat info{};
    char buffer[MaxAttributeLength + 1];
    std::size_t length = 0;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    while (ok) {
        const ssize_t n = ::read(fd, buffer + length, sizeof buffer - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        length += static_cast<std::size_t>(n);
        ok = length <= MaxAttributeLength;
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;
    std::string text(buffer, length);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// A whole decimal count of microvolts, 0 to MaxMicrovolts: digits only, no
// sign, no spaces, nothing after them.
std::optional<long long> parseMicrovolts(const std::string &text)
{
    if (text.empty() || text.size() > 12)
        return std::nullopt;
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > MaxMicrovolts)
        return std::nullopt;
    return value;
}

// The folder of the first supply of type Battery, if any.
std::optional<std::string> batteryFolder()
{
    const std::string classFolder = ClassFolder;
    DIR *dir = ::opendir(ClassFolder);
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
    const auto text = readAttribute(*folder + "/voltage_now");
    const auto microvolts = text ? parseMicrovolts(*text) : std::nullopt;
    if (!microvolts)
        return NAN;
    return static_cast<float>(static_cast<double>(*microvolts) / 1e6);
}

bool Battery::isCharging()
{
    const auto folder = batteryFolder();
    return folder && readAttribute(*folder + "/status") == std::optional<std::string>("Charging");
}
