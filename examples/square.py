#!/usr/bin/env python3
"""Drives a square of 40 cm sides with position moves: four times straight
ahead, then a quarter turn on the spot to the left. The Python twin of
square.c, line for line.

The numbers fit the robot of sim/worlds/empty.json: 1000 ticks per wheel
revolution, 6 cm wheels (0.19 mm per tick), wheels 15 cm apart. Measure your
own robot and change them.

    kestrix-sim --speed max --world sim/worlds/empty.json python3 examples/square.py
"""
from kestrix import ao, bmd, cmpc, mtp

LEFT = 0
RIGHT = 1
SPEED = 600          # ticks per second
SIDE_TICKS = 2122    # 0.40 m / (pi x 0.06 m / 1000)
QUARTER_TICKS = 625  # each wheel runs a quarter of a 15 cm circle

left = right = 0  # where each wheel should be, in ticks
cmpc(LEFT)
cmpc(RIGHT)
for side in range(1, 5):
    left += SIDE_TICKS
    right += SIDE_TICKS
    mtp(LEFT, SPEED, left)
    mtp(RIGHT, SPEED, right)
    bmd(LEFT)
    bmd(RIGHT)

    left -= QUARTER_TICKS  # left wheel back, right wheel forward: turn left
    right += QUARTER_TICKS
    mtp(LEFT, SPEED, left)
    mtp(RIGHT, SPEED, right)
    bmd(LEFT)
    bmd(RIGHT)
    print(f"side {side} done", flush=True)
ao()
