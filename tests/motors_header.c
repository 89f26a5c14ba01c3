/* The motor header as a C99 program sees it: every function declared with C
 * linkage and plain C types. Compiled only; never run. */
#include "kestrix/motors.h"

int motors_header_uses_every_function(void)
{
    short g = 0;
    motor(0, 50);
    fd(0);
    bk(0);
    off(0);
    alloff();
    ao();
    cmpc(0);
    clear_motor_position_counter(0);
    bmd(0);
    block_motor_done(0);
    set_pid_gains(0, 1, 1, 1, 1, 1, 1);
    get_pid_gains(0, &g, &g, &g, &g, &g, &g);
    return freeze(0) + setpwm(0, 1) + getpwm(0) + mav(0, 1) + move_at_velocity(0, 1)
         + mtp(0, 1, 1) + move_to_position(0, 1, 1) + mrp(0, 1, 1)
         + move_relative_position(0, 1, 1) + gmpc(0) + get_motor_position_counter(0)
         + get_motor_done(0) + g;
}
