/* The battery voltage, one reading every 250 ms. Runs until stopped. */
#include <stdio.h>

#include <kestrix/battery.h>
#include <kestrix/util.h>

int main(void)
{
    for (;;) {
        printf("%f\n", power_level());
        msleep(250);
    }
}
