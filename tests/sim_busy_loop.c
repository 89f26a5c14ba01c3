/* A program that never sleeps and never touches the controller: only the
 * launcher's own clock can end it. */
#include <stdio.h>

int main(void)
{
    volatile unsigned long spins = 0;
    puts("busy");
    fflush(stdout);
    for (;;)
        ++spins;
}
