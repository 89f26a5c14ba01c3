/* Follows the right-hand edge of a dark tape with one reflectance sensor
 * looking down. Over the edge the sensor sees part tape, part floor and reads
 * in between; the robot steers so that it keeps reading halfway: more tape
 * than that, steer right; more floor, steer left. The further off, the
 * harder it steers.
 *
 * Set up as in sim/worlds/line.json: the sensor on analog port 0 reads high
 * over dark tape (about 3900) and low over the white floor (about 400);
 * wheels on motors 0 (left) and 1 (right). Runs until stopped (under the
 * simulator: --duration). */
#include <kestrix/analog.h>
#include <kestrix/motors.h>
#include <kestrix/util.h>

#define SENSOR 0
#define LEFT 0
#define RIGHT 1
#define EDGE 2150     /* halfway between tape and floor */
#define CRUISE 700    /* ticks per second on a straight edge */
#define GAIN 0.3      /* ticks per second of steering per count off the edge */

int main(void)
{
    for (;;) {
        const int error = analog(SENSOR) - EDGE; /* > 0: too far onto the tape */
        const int steer = (int)(GAIN * error);

        mav(LEFT, CRUISE + steer);
        mav(RIGHT, CRUISE - steer);
        msleep(10);
    }
}
