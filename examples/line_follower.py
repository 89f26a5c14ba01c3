#!/usr/bin/env python3
"""Follows the right-hand edge of a dark tape with one reflectance sensor
looking down. Over the edge the sensor sees part tape, part floor and reads in
between; the robot steers so that it keeps reading halfway: more tape than
that, steer right; more floor, steer left. The further off, the harder it
steers. The Python twin of line_follower.c, with the port objects.

Set up as in sim/worlds/line.json: the sensor on analog port 0 reads high over
dark tape (about 3900) and low over the white floor (about 400); wheels on
motors 0 (left) and 1 (right). Runs until stopped (under the simulator:
--duration).

    kestrix-sim --duration 40 --world sim/worlds/line.json python3 examples/line_follower.py
"""
import kestrix

sensor = kestrix.Analog(0)
left = kestrix.Motor(0)
right = kestrix.Motor(1)
EDGE = 2150    # halfway between tape and floor
CRUISE = 700   # ticks per second on a straight edge
GAIN = 0.3     # ticks per second of steering per count off the edge

while True:
    error = sensor.value - EDGE  # > 0: too far onto the tape
    steer = int(GAIN * error)

    left.move_at_velocity(CRUISE + steer)
    right.move_at_velocity(CRUISE - steer)
    kestrix.msleep(10)
