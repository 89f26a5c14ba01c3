/* A robot program of a match that grips a piece ahead of it and carries it:
 * it drives APPROACH ticks with the claw open, closes the claw, lifts the
 * arm, drives CARRY ticks on, sets the piece down, opens and backs off
 * CARRY / 2 ticks. Its ports come as arguments, as each robot of a match
 * may have its own:
 *
 *   sim_claw_carrier CLAW_SERVO ARM_SERVO CLAW_SWITCH APPROACH CARRY
 *
 * Wheels on motors 0 and 1; open 850, closed 250, arm down 250, up 750. */
#include <stdio.h>
#include <stdlib.h>

#include <kestrix/digital.h>
#include <kestrix/motors.h>
#include <kestrix/servo.h>
#include <kestrix/util.h>

static void drive(int ticks)
{
    mrp(0, 500, ticks);
    mrp(1, 500, ticks);
    bmd(0);
    bmd(1);
    ao();
}

int main(int argc, char **argv)
{
    int claw, arm, sensor, approach, carry;

    if (argc != 6) {
        fprintf(stderr, "usage: %s CLAW_SERVO ARM_SERVO CLAW_SWITCH APPROACH CARRY\n", argv[0]);
        return 2;
    }
    claw = atoi(argv[1]);
    arm = atoi(argv[2]);
    sensor = atoi(argv[3]);
    approach = atoi(argv[4]);
    carry = atoi(argv[5]);

    set_servo_position(claw, 850);
    set_servo_position(arm, 250);
    enable_servos();
    msleep(500);
    drive(approach);
    set_servo_position(claw, 250);
    msleep(800);
    printf("%s\n", digital(sensor) ? "gripped" : "missed");
    set_servo_position(arm, 750);
    msleep(800);
    drive(carry);
    set_servo_position(arm, 250);
    msleep(800);
    set_servo_position(claw, 850);
    msleep(800);
    drive(-carry / 2);
    printf("let go\n");
    disable_servos();
    return 0;
}
