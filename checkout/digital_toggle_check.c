/* Pins 0-4 as outputs, toggled every second (high first), pins 5-9 as
 * inputs; pins 0-9 read back one second after each toggle. Runs until
 * stopped. */
#include <stdio.h>

#include <kestrix/digital.h>
#include <kestrix/util.h>

int main(void)
{
    int level = 0;
    int pin;

    for (pin = 0; pin <= 4; ++pin)
        set_digital_output(pin, 1);
    for (pin = 5; pin <= 9; ++pin)
        set_digital_output(pin, 0);
    for (;;) {
        level = !level;
        for (pin = 0; pin <= 4; ++pin)
            set_digital_value(pin, level);
        msleep(1000);
        for (pin = 0; pin <= 9; ++pin)
            printf("%d  ", get_digital_value(pin));
        putchar('\n');
    }
}
