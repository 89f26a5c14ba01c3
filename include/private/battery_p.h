#ifndef KESTRIX_PRIVATE_BATTERY_H
#define KESTRIX_PRIVATE_BATTERY_H

// The battery monitor, on the Linux power-supply class: the first supply (in
// name order) under /sys/class/power_supply whose `type` reads Battery.
// Files are read with open/read and the folder with opendir, on every call;
// only regular files are read, opened without blocking.
class Battery
{
public:
    // The battery voltage in volts (`voltage_now` is in microvolts); NaN when
    // there is no battery or its `voltage_now` is not a whole decimal number
    // of microvolts from 0 to 100000000 (100 V), alone on its line.
    static float powerLevel();
    // True while the battery's `status` reads Charging; false with no battery.
    static bool isCharging();
};

#endif
