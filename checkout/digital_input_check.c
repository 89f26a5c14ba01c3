/* All sixteen pins as inputs, read every second. Runs until stopped. */
#include <stdio.h>

#include <kestrix/digital.h>
#include <kestrix/util.h>

int main(void)
{
    int pin;

    for (pin = 0; pin <= 15; ++pin)
        set_digital_output(pin, 0);
    for (;;) {
        msleep(1000);
        for (pin = 0; pin <= 15; ++pin)
            printf("%d  ", get_digital_value(pin));
        putchar('\n');
    }
}
