/* Absolute position moves of motors 0-3 and their position counters: ten
 * seconds out to 410000 at speed 300, ten seconds back to 0 at speed 800,
 * the four counters printed every second. Runs until stopped. */
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

static void move_and_report(int speed, int goal)
{
    int port;
    int second;

    printf("%d @ %d\n", goal, speed);
    for (port = 0; port < 4; ++port)
        mtp(port, speed, goal);
    for (second = 0; second < 10; ++second) {
        msleep(1000);
        report_position_counters();
    }
}

int main(void)
{
    for (;;) {
        move_and_report(300, 410000);
        move_and_report(800, 0);
    }
}
