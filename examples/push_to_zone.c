/* Pushes the red piece in front of the robot into the yellow zone in the
 * middle of the table, then backs out of the zone.
 *
 * The claw on servo 0 stands open so that the jaws keep the piece in front
 * of the robot while it pushes. The numbers fit sim/worlds/table.json: the
 * robot starts 0.6 m before the piece's place in the zone, with 1000 ticks
 * per wheel revolution and 6 cm wheels (0.19 mm per tick). Run it from
 * either start area: the table is the same seen from both sides. */
#include <stdio.h>

#include <kestrix/motors.h>
#include <kestrix/servo.h>
#include <kestrix/util.h>

#define LEFT 0
#define RIGHT 1
#define CLAW 0
#define CLAW_OPEN 850
#define SPEED 500        /* ticks per second */
#define PUSH_TICKS 4700  /* 0.88 m: the piece ends about 0.15 m inside the zone */
#define BACK_TICKS 1600  /* 0.3 m back, out of the zone, leaving the piece */

int main(void)
{
    set_servo_position(CLAW, CLAW_OPEN);
    enable_servos();
    msleep(500);

    cmpc(LEFT);
    cmpc(RIGHT);
    mtp(LEFT, SPEED, PUSH_TICKS);
    mtp(RIGHT, SPEED, PUSH_TICKS);
    bmd(LEFT);
    bmd(RIGHT);
    printf("pushed\n");

    mtp(LEFT, SPEED, PUSH_TICKS - BACK_TICKS);
    mtp(RIGHT, SPEED, PUSH_TICKS - BACK_TICKS);
    bmd(LEFT);
    bmd(RIGHT);
    ao();
    disable_servos();
    printf("backed off\n");
    return 0;
}
