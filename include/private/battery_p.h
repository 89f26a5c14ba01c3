#ifndef KESTRIX_PRIVATE_BATTERY_H
#define KESTRIX_PRIVATE_BATTERY_H

#include <string>

// The battery monitor, on the Linux power-supply class: the first supply (in
// name order) under <root>/class/power_supply whose `type` reads Battery.
// Files are read with open/read and the folder with opendir, on every call.
class Battery
{
public:
    // The battery voltage in volts (`voltage_now` is in microvolts); NaN when
    // there is no battery or its voltage cannot be read.
    static float powerLevel();
    // True while the battery's `status` reads Charging; false with no battery.
    static bool isCharging();

    // The sysfs root, "/sys" unless a test points it at a fake tree.
    static void setSysfsRoot(const std::string &root);
    static std::string sysfsRoot();
};

#endif
