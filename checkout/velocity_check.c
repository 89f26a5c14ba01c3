/* Velocity control of motors 0-3: ten seconds forward at 100, ten seconds
 * backward at -100. Runs until stopped. */
#include <stdio.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

int main(void)
{
    int port;

    for (;;) {
        puts("forward");
        for (port = 0; port < 4; ++port)
            mav(port, 100);
        msleep(10000);
        puts("backward");
        for (port = 0; port < 4; ++port)
            mav(port, -100);
        msleep(10000);
    }
}
