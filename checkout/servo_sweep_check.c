/* Servos 0-3 through the cycle 0, 340, 682, 1023, 682, 340, one step every
 * two seconds, each servo one step ahead of the one before; thirty steps
 * (about a minute), then all four are disabled. Prints nothing. */
#include <stdint.h>

#include <kestrix/servo.h>
#include <kestrix/util.h>

int main(void)
{
    static const uint16_t table[6] = {0, 340, 682, 1023, 682, 340};
    int servo;
    int step;

    for (servo = 0; servo < 4; ++servo)
        set_servo_enabled(servo, 1);
    for (step = 0; step < 30; ++step) {
        for (servo = 0; servo < 4; ++servo)
            set_servo_position(servo, table[(step + servo) % 6]);
        msleep(2000);
    }
    for (servo = 0; servo < 4; ++servo)
        set_servo_enabled(servo, 0);
    return 0;
}
