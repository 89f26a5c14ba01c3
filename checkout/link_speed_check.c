/* How long one battery reading takes, averaged over batches of 100 readings;
 * readings outside 6.0 to 7.5 V are printed as they come. Runs until
 * stopped. */
#include <stdio.h>
#include <sys/time.h>

#include <kestrix/battery.h>
#include <kestrix/digital.h>

static long elapsed_usec(struct timeval start, struct timeval end)
{
    /* long long: 64 bits on the 32-bit board as well. */
    return (long)(((long long)end.tv_sec - (long long)start.tv_sec) * 1000000LL
                  + ((long long)end.tv_usec - (long long)start.tv_usec));
}

int main(void)
{
    const unsigned batch = 100;
    const float low = 6.0f;
    const float high = 7.5f;
    const double million = 1000000.0;
    struct timeval start, end;
    unsigned i;

    set_digital_output(12, 1);
    for (;;) {
        double average;

        gettimeofday(&start, NULL);
        for (i = 0; i < batch; ++i) {
            const float level = power_level();
            if (level < low || level > high)
                printf("%f\n", level);
        }
        gettimeofday(&end, NULL);
        average = (double)elapsed_usec(start, end) / batch;
        printf("%f uS per sample average (%f Hz)\n", average, million / average);
    }
}
