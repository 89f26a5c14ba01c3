/* analog(0) in a loop, for bench_python_calls.py: the C side of the
 * comparison with the Python module.
 *
 *   bench_analog_calls CALLS      prints "calls/s: N" (process CPU time)
 *
 * Run under kestrix-sim --speed max: nothing sleeps for real there, so the
 * process's CPU time is the time the calls take, and the simulator's clocks,
 * which it fakes, do not enter. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <kestrix/analog.h>

static double cpuSeconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    const long calls = argc > 1 ? atol(argv[1]) : 100000;
    volatile int sink = 0;
    long i;
    double start;

    sink += analog(0); /* the first call opens the device */
    start = cpuSeconds();
    for (i = 0; i < calls; ++i)
        sink += analog(0);
    printf("calls/s: %.0f\n", (double)calls / (cpuSeconds() - start));
    return 0;
}
