/* The digital, analog and servo interface as a C99 program sees it: the
 * headers compile as strict C99, every function links by its C name from the
 * shared library, and values set read back through the fake coprocessor,
 * whose registers all start at zero. Exits non-zero on the first mismatch. */
#include "kestrix/analog.h"
#include "kestrix/digital.h"
#include "kestrix/servo.h"

#include <stdio.h>

static int failures = 0;

static void expect(int actual, int expected, const char *what)
{
    if (actual != expected) {
        fprintf(stderr, "%s: %d, expected %d\n", what, actual, expected);
        ++failures;
    }
}

int main(void)
{
    int port;

    expect(digital(0), 1, "digital(0) on a low pin");
    expect(get_digital_value(0), 0, "get_digital_value(0)");
    set_digital_value(3, 1);
    set_digital_output(3, 5);
    expect(get_digital_output(3), 1, "get_digital_output(3)");
    set_digital_pullup(4, 1);
    expect(get_digital_pullup(4), 1, "get_digital_pullup(4)");
    expect(get_digital_pullup(3), 0, "get_digital_pullup(3)");

    expect(analog(2), 0, "analog(2)");
    expect(get_analog_pullup(2), 1, "pull-up after analog(2)");
    expect(analog_et(2), 0, "analog_et(2)");
    expect(get_analog_pullup(2), 0, "pull-up after analog_et(2)");
    expect(analog8(1) + analog10(1) + analog12(1), 0, "scaled readings");
    set_analog_pullup(5, 1);
    expect(get_analog_pullup(5), 1, "get_analog_pullup(5)");

    enable_servos();
    for (port = 0; port < 4; ++port)
        expect(get_servo_enabled(port), 1, "enabled after enable_servos");
    disable_servo(2);
    expect(get_servo_enabled(2), 0, "enabled after disable_servo(2)");
    enable_servo(2);
    set_servo_enabled(1, 0);
    expect(get_servo_enabled(1), 0, "enabled after set_servo_enabled(1, 0)");
    disable_servos();
    for (port = 0; port < 4; ++port)
        expect(get_servo_enabled(port), 0, "enabled after disable_servos");

    set_servo_position(1, 512);
    expect(get_servo_position(1), 511, "get_servo_position(1) after 512");
    set_servo_position(3, -1);
    expect(get_servo_position(3), 1023, "get_servo_position(3) after -1");
    expect(get_servo_position(4), 65535, "get_servo_position(4)");

    return failures == 0 ? 0 : 1;
}
