#include "kestrix/battery.h"

#include "private/battery_p.h"

int battery_charging(void)
{
    return Battery::isCharging() ? 1 : 0;
}

float power_level(void)
{
    return Battery::powerLevel();
}
