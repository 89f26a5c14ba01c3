#!/bin/sh
# A student's CI job: build the robot program against the installed library
# and score it against the challenge for a few seeds. The job fails (and
# says where the points went) as soon as one seed does not pass.
set -eu
CHALLENGE=${CHALLENGE:-/usr/share/kestrix/challenges/line_lap.json}
SEEDS=${SEEDS:-"1 2 3"}

cc -Wall -o robot robot.c $(pkg-config --cflags --libs kestrix)
for seed in $SEEDS; do
    kestrix-sim --challenge "$CHALLENGE" --seed "$seed" --report "score-$seed.json" ./robot > "console-$seed.txt"
done
