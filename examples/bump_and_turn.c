/* Wanders around: drives ahead until the front bump switch closes, backs off
 * a little, turns on the spot (a different amount each time) and drives on.
 *
 * Set up as in sim/worlds/arena.json: wheels on motors 0 (left) and 1
 * (right), the bump switch on digital pin 8. Runs until stopped (under the
 * simulator: --duration). */
#include <stdio.h>

#include <kestrix/digital.h>
#include <kestrix/motors.h>
#include <kestrix/util.h>

#define LEFT 0
#define RIGHT 1
#define BUMPER 8

int main(void)
{
    int bumps = 0;

    for (;;) {
        motor(LEFT, 60);
        motor(RIGHT, 60);
        while (!digital(BUMPER)) /* digital() is 1 while the switch is closed */
            msleep(10);

        ++bumps;
        printf("bump %d at %.3f s\n", bumps, seconds());
        motor(LEFT, -50);        /* back off */
        motor(RIGHT, -50);
        msleep(400);
        motor(LEFT, 50);         /* turn right, longer every other time */
        motor(RIGHT, -50);
        msleep(bumps % 2 ? 600 : 1000);
    }
}
