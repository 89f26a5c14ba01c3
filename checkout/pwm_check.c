/* Open-loop power on motors 0-3: three seconds at full power forward, three
 * seconds at full power backward. Runs until stopped. */
#include <stdio.h>

#include <kestrix/motors.h>
#include <kestrix/util.h>

int main(void)
{
    int port;

    for (;;) {
        puts("forward");
        for (port = 0; port < 4; ++port)
            motor(port, 100);
        msleep(3000);
        puts("backward");
        for (port = 0; port < 4; ++port)
            motor(port, -100);
        msleep(3000);
    }
}
