/* The public C interface as a C99 robot program sees it. Compiled with
 * -std=c99 -pedantic-errors -Werror as part of the build. */
#include <kestrix/kestrix.h>

int kestrix_c99_header_check(void);

int kestrix_c99_header_check(void)
{
    short reading = (short)(magneto_x() + accel_y() + gyro_z());
    double now = seconds();
    msleep(0);
    return reading + battery_charging() + (int)(power_level() > 0.0f) + (now > 0.0);
}
