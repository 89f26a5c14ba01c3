#include "kestrix/accel.h"

#include "private/accel_p.h"

short accel_x(void)
{
    return Private::Accel::instance().xAccel();
}

short accel_y(void)
{
    return Private::Accel::instance().yAccel();
}

short accel_z(void)
{
    return Private::Accel::instance().zAccel();
}
