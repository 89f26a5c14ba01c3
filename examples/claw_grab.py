#!/usr/bin/env python3
"""Drives up to the red piece straight ahead, grips it with the claw, lifts
it with the arm, brings it back into the start area and sets it down there.

The robot of sim/worlds/table.json: claw on servo 0, arm on servo 1, the
claw's switch on digital 10 (1 while the claw holds a piece); 1000 ticks per
wheel revolution and 6 cm wheels, 0.19 mm per tick.

    kestrix-sim --speed max --world sim/worlds/table.json python3 examples/claw_grab.py
"""
from kestrix import ao, bmd, cmpc, digital, disable_servos, enable_servos, msleep, mtp, set_servo_position

LEFT, RIGHT = 0, 1
CLAW, ARM = 0, 1
CLAW_OPEN, CLAW_CLOSED = 850, 250
ARM_DOWN, ARM_UP = 250, 750
CLAW_SWITCH = 10
SPEED = 500          # ticks per second
TO_PIECE = 2550      # 0.48 m: the piece 0.6 m ahead sits in the jaws


def drive_to(ticks):
    """Both wheels to `ticks` from the start, and wait."""
    mtp(LEFT, SPEED, ticks)
    mtp(RIGHT, SPEED, ticks)
    bmd(LEFT)
    bmd(RIGHT)


set_servo_position(CLAW, CLAW_OPEN)
set_servo_position(ARM, ARM_DOWN)
enable_servos()
msleep(500)
cmpc(LEFT)
cmpc(RIGHT)

drive_to(TO_PIECE)
set_servo_position(CLAW, CLAW_CLOSED)
msleep(800)
if not digital(CLAW_SWITCH):
    print("missed the piece")
    raise SystemExit(1)
set_servo_position(ARM, ARM_UP)
msleep(800)
print("gripped and lifted")

drive_to(0)  # back to the start area with it
set_servo_position(ARM, ARM_DOWN)
msleep(800)
set_servo_position(CLAW, CLAW_OPEN)
msleep(800)
mtp(LEFT, SPEED, -600)  # and away from it
mtp(RIGHT, SPEED, -600)
bmd(LEFT)
bmd(RIGHT)
ao()
disable_servos()
print("set down in the start area")
