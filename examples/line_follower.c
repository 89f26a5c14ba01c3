/* Follows the right-hand edge of a dark tape with one reflectance sensor
 * looking down: on the tape, steer right (off it); beside it, steer left
 * (back on). The robot wiggles along the edge.
 *
 * Set up as in sim/worlds/line.json: the sensor on analog port 0 reads high
 * over dark tape and low over the white floor; wheels on motors 0 (left)
 * and 1 (right). Runs until stopped (under the simulator: --duration). */
#include <kestrix/analog.h>
#include <kestrix/motors.h>
#include <kestrix/util.h>

#define SENSOR 0
#define LEFT 0
#define RIGHT 1
#define DARK 2000   /* halfway between tape (about 3900) and floor (about 400) */
#define FAST 900    /* ticks per second */
#define SLOW 250

int main(void)
{
    for (;;) {
        if (analog(SENSOR) > DARK) {
            mav(LEFT, FAST); /* on the tape: curve right */
            mav(RIGHT, SLOW);
        } else {
            mav(LEFT, SLOW); /* on the floor: curve left */
            mav(RIGHT, FAST);
        }
        msleep(10);
    }
}
