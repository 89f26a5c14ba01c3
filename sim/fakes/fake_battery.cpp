#include "fakes/fake_battery.h"

#include "fakes/fake_device.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr const char *ClassPath = "/sys/class/power_supply";

std::mutex &batteryLock()
{
    static std::mutex s_lock;
    return s_lock;
}

// Written under a temporary name and renamed, so a reader never sees half a file.
bool writeFile(const std::string &path, const std::string &text)
{
    // Every process of a run writes these files: each through a name of its own.
    const std::string temporary = path + ".new." + std::to_string(::getpid());
    FILE *file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr)
        return false;
    const bool written = std::fputs(text.c_str(), file) >= 0;
    if (std::fclose(file) != 0 || !written)
        return false;
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

class PowerSupplyFiles : public FakeDevice
{
public:
    bool claims(const char *path) const override { return !FakeBattery::instance().redirect(path).empty(); }

    int open(const char *path, int flags) override
    {
        return realOpen(FakeBattery::instance().redirect(path).c_str(), flags);
    }

    int ioctl(int, unsigned long, void *) override
    {
        errno = ENOTTY;
        return -1;
    }
};

const Registered<PowerSupplyFiles> s_powerSupply;

} // namespace

FakeBattery &FakeBattery::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeBattery &s_instance = *new FakeBattery;
    return s_instance;
}

bool FakeBattery::enable(const std::string &folder, double volts, bool charging)
{
    std::lock_guard<std::mutex> guard(batteryLock());
    ::mkdir(folder.c_str(), 0700);
    ::mkdir((folder + "/BAT0").c_str(), 0700);
    m_folder = folder;
    m_writes = true;
    m_volts = volts;
    m_charging = charging;
    return writeFile(m_folder + "/BAT0/type", "Battery\n") && writeFiles();
}

void FakeBattery::serveAsIs(const std::string &folder)
{
    std::lock_guard<std::mutex> guard(batteryLock());
    m_folder = folder;
    m_writes = false;
}

void FakeBattery::disable()
{
    std::lock_guard<std::mutex> guard(batteryLock());
    m_folder.clear();
    m_writes = false;
}

bool FakeBattery::enabled() const
{
    std::lock_guard<std::mutex> guard(batteryLock());
    return !m_folder.empty();
}

bool FakeBattery::setVolts(double volts)
{
    std::lock_guard<std::mutex> guard(batteryLock());
    m_volts = volts;
    return writeFiles();
}

bool FakeBattery::setCharging(bool charging)
{
    std::lock_guard<std::mutex> guard(batteryLock());
    m_charging = charging;
    return writeFiles();
}

double FakeBattery::volts() const
{
    std::lock_guard<std::mutex> guard(batteryLock());
    return m_volts;
}

bool FakeBattery::writeFiles()
{
    if (m_folder.empty() || !m_writes)
        return false;
    const long long microvolts = std::llround(m_volts * 1e6);
    return writeFile(m_folder + "/BAT0/voltage_now", std::to_string(microvolts) + "\n")
        && writeFile(m_folder + "/BAT0/status", m_charging ? "Charging\n" : "Discharging\n");
}

std::string FakeBattery::redirect(const char *path) const
{
    if (path == nullptr)
        return {};
    const std::size_t length = std::strlen(ClassPath);
    if (std::strncmp(path, ClassPath, length) != 0 || (path[length] != '\0' && path[length] != '/'))
        return {};
    std::lock_guard<std::mutex> guard(batteryLock());
    if (m_folder.empty())
        return {};
    return m_folder + (path + length);
}

} // namespace kxsim

extern "C" DIR *opendir(const char *path)
{
    using OpendirFn = DIR *(*)(const char *);
    static const OpendirFn s_opendir = kxsim::nextFunction<OpendirFn>("opendir");
    const std::string target = kxsim::FakeBattery::instance().redirect(path);
    return s_opendir(target.empty() ? path : target.c_str());
}
