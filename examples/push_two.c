/* Pushes two red pieces into the yellow zone in the middle of the table:
 * the one ahead of the start area from the left, then, going round below
 * the zone and back up to the tape beyond it, the one on the tape from the
 * right.
 *
 * The claw on servo 0 stands open so that the jaws keep a piece in front
 * of the robot while it pushes. The numbers fit sim/worlds/table.json and
 * its left start area: 1000 ticks per wheel revolution and 6 cm wheels
 * (5305 ticks a metre), wheels 15 cm apart. */
#include <stdio.h>

#include <kestrix/analog.h>
#include <kestrix/motors.h>
#include <kestrix/servo.h>
#include <kestrix/util.h>

#define LEFT 0
#define RIGHT 1
#define CLAW 0
#define CLAW_OPEN 850
#define SENSOR 0 /* the reflectance sensor looking down */
#define TAPE 2500 /* it reads about 3900 over the tape, 600 beside it */
#define TICKS_PER_METRE 5305
#define TICKS_PER_DEGREE 6.94 /* each wheel, turning on the spot */

/* Drives straight by `metres` (negative: backwards) and waits. */
static void drive(double metres)
{
    const int ticks = (int)(metres * TICKS_PER_METRE);
    mrp(LEFT, 500, ticks);
    mrp(RIGHT, 500, ticks);
    bmd(LEFT);
    bmd(RIGHT);
}

/* Turns on the spot by `degrees` (positive: to the left) and waits. */
static void turn(double degrees)
{
    const int ticks = (int)(degrees * TICKS_PER_DEGREE);
    mrp(LEFT, 300, -ticks);
    mrp(RIGHT, 300, ticks);
    bmd(LEFT);
    bmd(RIGHT);
}

int main(void)
{
    set_servo_position(CLAW, CLAW_OPEN);
    enable_servos();
    msleep(500);

    drive(0.885); /* the first piece ends about 0.15 m inside the zone */
    drive(-0.30);
    printf("first piece in\n");

    /* Round below the zone, clear of the pieces along the bottom. */
    turn(-90);
    drive(0.15);
    turn(90);
    drive(1.265);
    turn(90);

    /* Up to the tape beyond the zone, which puts the robot back on its line. */
    mav(LEFT, 300);
    mav(RIGHT, 300);
    while (analog(SENSOR) < TAPE)
        msleep(10);
    drive(0.06); /* the sensor is 6 cm ahead of the wheels */
    turn(90);

    drive(0.57); /* the second piece ends next to the first */
    drive(-0.25);
    ao();
    disable_servos();
    printf("second piece in\n");
    return 0;
}
