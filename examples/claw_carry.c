/* Finds a red piece with the camera, drives up to it, grips it with the
 * claw, lifts it with the arm, carries it into the red goal in the lower
 * left corner, sets it down and lets go.
 *
 * The robot of sim/worlds/table.json: claw on servo 0, arm on servo 1,
 * front distance sensor on analog 1, the claw's switch on digital 10, the
 * camera's configuration "1" with red on channel 0. The carry itself is
 * dead reckoning from the start area (1000 ticks per wheel revolution, 6 cm
 * wheels: 0.19 mm per tick; wheels 15 cm apart). */
#include <stdio.h>
#include <stdlib.h>

#include <kestrix/analog.h>
#include <kestrix/camera.h>
#include <kestrix/digital.h>
#include <kestrix/motors.h>
#include <kestrix/servo.h>
#include <kestrix/util.h>

#define LEFT 0
#define RIGHT 1
#define CLAW 0
#define ARM 1
#define CLAW_OPEN 850
#define CLAW_CLOSED 250
#define ARM_DOWN 250
#define ARM_UP 750
#define DISTANCE 1
#define CLAW_SWITCH 10
#define RED 0
#define NEAR 3300          /* the front sensor's reading with a piece in the jaws */
#define TICKS_PER_DEGREE 6.94 /* each wheel, turning on the spot: 7.5 cm x pi / 180 / 0.19 mm */

/* Turns on the spot by `degrees` (positive: to the left) and waits. */
static void turn(double degrees)
{
    const int ticks = (int)(degrees * TICKS_PER_DEGREE);
    mrp(LEFT, 400, -ticks);
    mrp(RIGHT, 400, ticks);
    bmd(LEFT);
    bmd(RIGHT);
}

/* Drives straight by `ticks` (negative: backwards) and waits. */
static void drive(int ticks)
{
    mrp(LEFT, 500, ticks);
    mrp(RIGHT, 500, ticks);
    bmd(LEFT);
    bmd(RIGHT);
}

/* The largest red object's centre, or -1 when the camera sees none. */
static int red_x(void)
{
    int best = -1, area = 0, n;
    camera_update();
    for (n = 0; n < get_object_count(RED); ++n)
        if (get_object_area(RED, n) > area) {
            area = get_object_area(RED, n);
            best = get_object_center_x(RED, n);
        }
    return best;
}

int main(void)
{
    int travelled = 0, steps = 0;

    if (!camera_open_device_model_at_res(0, 0, 0) || camera_load_config("1") != 1) {
        printf("no camera\n");
        return 1;
    }
    set_servo_position(CLAW, CLAW_OPEN);
    set_servo_position(ARM, ARM_DOWN);
    enable_servos();
    msleep(500);

    /* Look to the right, a little at a time, until a red piece is ahead. */
    while (red_x() < 0 && steps++ < 36)
        turn(-10);
    if (red_x() < 0) {
        printf("no red piece in sight\n");
        return 1;
    }

    /* Drive at it, steering by where it sits in the picture. */
    while (analog(DISTANCE) < NEAR && travelled < 8000) {
        const int x = red_x();
        const int error = x < 0 ? 0 : x - get_camera_width() / 2;
        mav(LEFT, 400 + 4 * error);
        mav(RIGHT, 400 - 4 * error);
        msleep(50);
        travelled += 20;
    }
    drive(100); /* seat it against the back of the jaws */
    ao();

    set_servo_position(CLAW, CLAW_CLOSED);
    msleep(800);
    if (!digital(CLAW_SWITCH)) {
        printf("missed the piece\n");
        return 1;
    }
    set_servo_position(ARM, ARM_UP);
    msleep(800);
    printf("gripped\n");

    /* Head for the red goal: the first red piece ahead of the left start
     * area lies 0.45 m right of and above the goal's middle, so a turn of
     * 135 degrees to the right faces it, and 0.52 m brings the piece in. */
    turn(-135);
    drive(2760);

    set_servo_position(ARM, ARM_DOWN);
    msleep(800);
    set_servo_position(CLAW, CLAW_OPEN);
    msleep(800);
    drive(-1200);
    ao();
    disable_servos();
    camera_close();
    printf("delivered\n");
    return 0;
}
