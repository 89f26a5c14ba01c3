/* Drives a square of 40 cm sides with position moves: four times straight
 * ahead, then a quarter turn on the spot to the left.
 *
 * The numbers fit the robot of sim/worlds/empty.json: 1000 ticks per wheel
 * revolution, 6 cm wheels (0.19 mm per tick), wheels 15 cm apart. Measure
 * your own robot and change them. */
#include <stdio.h>

#include <kestrix/motors.h>

#define LEFT 0
#define RIGHT 1
#define SPEED 600          /* ticks per second */
#define SIDE_TICKS 2122    /* 0.40 m / (pi x 0.06 m / 1000) */
#define QUARTER_TICKS 625  /* each wheel runs a quarter of a 15 cm circle */

int main(void)
{
    int left = 0, right = 0; /* where each wheel should be, in ticks */
    int side;

    cmpc(LEFT);
    cmpc(RIGHT);
    for (side = 1; side <= 4; ++side) {
        left += SIDE_TICKS;
        right += SIDE_TICKS;
        mtp(LEFT, SPEED, left);
        mtp(RIGHT, SPEED, right);
        bmd(LEFT);
        bmd(RIGHT);

        left -= QUARTER_TICKS; /* left wheel back, right wheel forward: turn left */
        right += QUARTER_TICKS;
        mtp(LEFT, SPEED, left);
        mtp(RIGHT, SPEED, right);
        bmd(LEFT);
        bmd(RIGHT);
        printf("side %d done\n", side);
    }
    ao();
    return 0;
}
