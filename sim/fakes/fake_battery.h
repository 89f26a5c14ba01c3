// The battery as the library reads it: the power-supply class under
// /sys/class/power_supply, redirected (opendir and the interposed opens) to a
// folder the simulator writes. Until enable() is called every path goes to
// the real system unchanged.
#ifndef KESTRIX_SIM_FAKE_BATTERY_H
#define KESTRIX_SIM_FAKE_BATTERY_H

#include <string>

namespace kxsim {

class FakeBattery
{
public:
    static FakeBattery &instance();

    // Serves /sys/class/power_supply from `folder` (created if missing),
    // with one supply BAT0 of type Battery. Returns false when the files
    // cannot be written.
    bool enable(const std::string &folder, double volts, bool charging = false);
    // Serves /sys/class/power_supply from `folder` as it is (it need not
    // exist), for a caller that writes its own supplies there; the setters
    // below then write nothing.
    void serveAsIs(const std::string &folder);
    // Every path goes to the real system again.
    void disable();
    bool enabled() const;

    bool setVolts(double volts);
    bool setCharging(bool charging);
    double volts() const;

    // The path a library path is redirected to; empty when not redirected.
    std::string redirect(const char *path) const;

private:
    FakeBattery() = default;
    bool writeFiles();

    std::string m_folder;
    bool m_writes = false;
    double m_volts = 0;
    bool m_charging = false;
};

} // namespace kxsim

#endif
