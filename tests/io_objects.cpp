// The port objects used from a program linked against the shared library, as
// a robot program would: every class and its dispatch table must be exported.
// The fake coprocessor's registers all start at zero. Exits non-zero on the
// first mismatch.
#include "kestrix/analog.h"
#include "kestrix/analog.hpp"
#include "kestrix/digital.hpp"
#include "kestrix/servo.hpp"

#include <cstdio>
#include <memory>

namespace {
int s_failures = 0;

void expect(unsigned int actual, unsigned int expected, const char *what)
{
    if (actual != expected) {
        std::fprintf(stderr, "%s: %u, expected %u\n", what, actual, expected);
        ++s_failures;
    }
}
} // namespace

int main()
{
    Digital pin(6);
    pin.setOutput(true);
    expect(pin.isOutput(), true, "Digital::isOutput");
    pin.setPullup(true);
    expect(pin.pullup(), true, "Digital::pullup");
    pin.setValue(true);
    expect(pin.value(), false, "Digital::value of a low pin");

    set_analog_pullup(3, 1);
    std::unique_ptr<Analog> analog(new Analog10(3));
    expect(analog->port(), 3, "Analog::port");
    expect(analog->pullup(), true, "Analog::pullup");
    expect(analog->value(), 0, "Analog10::value through Analog");
    expect(Analog8(3).value(), 0, "Analog8::value");

    Servo servo(0);
    servo.enable();
    expect(servo.isEnabled(), true, "Servo::isEnabled after enable");
    servo.setPosition(65536 + 682);
    expect(servo.position(), 682, "Servo::position");
    servo.disable();
    expect(servo.isEnabled(), false, "Servo::isEnabled after disable");
    expect(Servo(4).position(), 65535, "Servo(4)::position");

    return s_failures == 0 ? 0 : 1;
}
