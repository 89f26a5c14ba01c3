/* Relative position moves of motors 0-3 and their position counters: ten
 * seconds of 200000 ticks forward at speed 400, ten seconds of 200000 back at
 * speed 800, the four counters printed every second. Runs until stopped. */
#include <stdio.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

static void report_position_counters(void)
{
    int counters[4];
    int port;

    for (port = 0; port < 4; ++port)
        counters[port] = get_motor_position_counter(port);
    printf("%d\t%d\t%d\t%d\n", counters[0], counters[1], counters[2], counters[3]);
}

static void move_and_report(int speed, int distance)
{
    int port;
    int second;

    printf("%d @ %d\n", distance, speed);
    for (port = 0; port < 4; ++port)
        mrp(port, speed, distance);
    for (second = 0; second < 10; ++second) {
        msleep(1000);
        report_position_counters();
    }
}

int main(void)
{
    for (;;) {
        move_and_report(400, 200000);
        move_and_report(800, -200000);
    }
}
