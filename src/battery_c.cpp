#include "kestrix/battery.h"

#include "battery.h"

int battery_charging(void)
{
    return Battery::isCharging() ? 1 : 0;
}

float power_level(void)
{
    return Battery::powerLevel();
}
