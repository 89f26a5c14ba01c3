/* Analog ports 0-5 read every 100 ms, in blocks of about five seconds with
 * the pull-ups on and off in turn. Runs until stopped. */
#include <stdint.h>
#include <stdio.h>

#include <kestrix/analog.h>
#include <kestrix/util.h>

int main(void)
{
    uint32_t counter = 0;
    int value[6];
    int port;

    for (;;) {
        ++counter;
        if (counter % 100 < 50) {
            for (port = 0; port < 6; ++port)
                value[port] = analog12(port);
            printf("pu enabled: %d %d %d %d %d %d\n", value[0], value[1], value[2], value[3], value[4],
                   value[5]);
        } else {
            for (port = 0; port < 6; ++port)
                value[port] = analog_et(port);
            printf("pu disabled: %d %d %d %d %d %d\n", value[0], value[1], value[2], value[3],
                   value[4], value[5]);
        }
        msleep(100);
    }
}
