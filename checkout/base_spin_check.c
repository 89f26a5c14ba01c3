/* The mobile base spinning ten seconds clockwise and ten seconds
 * counter-clockwise at 40 mm/s, its distance and angle printed every second. */
#include <stdio.h>

#include <kestrix/create.h>
#include <kestrix/util.h>

static void report(void)
{
    int i;

    for (i = 0; i < 10; ++i) {
        /* Two statements: the order of the two reads is fixed. */
        const int distance = get_create_distance();
        const int angle = get_create_total_angle();

        printf("Distance: %d  Angle: %d\n", distance, angle);
        msleep(1000);
    }
}

int main(void)
{
    puts("Connecting...");
    create_connect();
    create_start();
    puts("Spinning CW...");
    create_spin_CW(40);
    report();
    puts("Spinning CCW...");
    create_spin_CCW(40);
    report();
    puts("Stopping...");
    create_stop();
    puts("Disconnecting...");
    create_disconnect();
    puts("Done.");
    return 0;
}
