/* Digital pin 12 as an output, blinking 250 ms high, 250 ms low. Prints
 * nothing; runs until stopped. */
#include <kestrix/digital.h>
#include <kestrix/util.h>

int main(void)
{
    set_digital_output(12, 1);
    msleep(250);
    for (;;) {
        msleep(250);
        set_digital_value(12, 1);
        msleep(250);
        set_digital_value(12, 0);
    }
}
