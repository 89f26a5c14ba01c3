/* A robot program of a match that tells when its sleeps end, on the clock
 * the simulator gives it. "long": a few long sleeps of odd lengths, with an
 * exchange with the controller after each; "short": a thousand sleeps of a
 * millisecond, an exchange after each. The lines give a sleep's length as
 * the program measured it, in microseconds, and the time of day it ended:
 * on the match's exact clock the length is the one asked for, and the two
 * programs' lines come out in the order of their times, whatever the other
 * program does meanwhile. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <kestrix/motors.h>

static long long monotonicUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static long long timeOfDayUs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static void sleepUs(long us)
{
    const struct timespec pause = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&pause, NULL);
}

int main(int argc, char **argv)
{
    const int isLong = argc > 1 && strcmp(argv[1], "long") == 0;
    static const long longSleeps[] = {333333, 1250007, 7, 421000};
    const int count = isLong ? (int)(sizeof longSleeps / sizeof longSleeps[0]) : 1000;
    long long worst = 0;
    for (int n = 0; n < count; ++n) {
        const long asked = isLong ? longSleeps[n] : 1000;
        const long long before = monotonicUs();
        sleepUs(asked);
        const long long slept = monotonicUs() - before;
        get_motor_position_counter(0);
        if (isLong)
            printf("slept %ld for %lld at %lld\n", asked, slept, timeOfDayUs());
        else if (n % 50 == 0)
            printf("short at %lld\n", timeOfDayUs());
        fflush(stdout);
        if (!isLong && (slept - asked > worst || asked - slept > worst))
            worst = slept > asked ? slept - asked : asked - slept;
    }
    if (!isLong)
        printf("short sleeps off by at most %lld\n", worst);
    return 0;
}
