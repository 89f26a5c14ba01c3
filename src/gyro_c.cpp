#include "kestrix/gyro.h"

#include "private/gyro_p.h"

short gyro_x(void)
{
    return Private::Gyro::instance().xGyro();
}

short gyro_y(void)
{
    return Private::Gyro::instance().yGyro();
}

short gyro_z(void)
{
    return Private::Gyro::instance().zGyro();
}
