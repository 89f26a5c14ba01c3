/* Velocity commands to all four motors back to back, without a pause: how
 * fast the library sends them. Runs until stopped. */
#include <stdio.h>

#include <kestrix/motors.h>

int main(void)
{
    const int velocity = 25;
    int port;

    printf("forward at velocity %d on all four motors, in an infinite loop...\n", velocity);
    for (;;) {
        for (port = 0; port < 4; ++port)
            mav(port, velocity);
    }
}
