/* Calibrates the compass (turn the robot meanwhile), prints 60 headings a
 * second apart, then sets fixed compass parameters. */
#include <stdio.h>

#include <kestrix/compass.h>
#include <kestrix/util.h>

int main(void)
{
    int n;

    calibrate_compass();
    for (n = 1; n <= 60; ++n) {
        printf("%d/%d angle = %f\n", n, 60, get_compass_angle());
        msleep(1000);
    }
    set_compass_params(-70.386f, -6.933f, 114.003f, -0.068338f, 0.115273f, 1.002332f, 1.011292f);
    puts("Done.");
    return 0;
}
