#include "kestrix/digital.h"

#include "private/digital_p.h"

namespace {
// Only the low 8 bits of a pin number reach the driver.
unsigned char pinOf(int port)
{
    return static_cast<unsigned char>(port);
}
} // namespace

int digital(int port)
{
    return get_digital_value(port) == 0 ? 1 : 0;
}

int get_digital_value(int port)
{
    return Private::Digital::instance().value(pinOf(port)) ? 1 : 0;
}

void set_digital_value(int port, int value)
{
    Private::Digital::instance().setValue(pinOf(port), value != 0);
}

int get_digital_output(int port)
{
    return Private::Digital::instance().direction(pinOf(port)) == Private::Digital::Output ? 1 : 0;
}

void set_digital_output(int port, int output)
{
    const Private::Digital::Direction direction =
        output != 0 ? Private::Digital::Output : Private::Digital::Input;
    Private::Digital::instance().setDirection(pinOf(port), direction);
}

int get_digital_pullup(int port)
{
    return Private::Digital::instance().pullup(pinOf(port)) ? 1 : 0;
}

void set_digital_pullup(int port, int pullup)
{
    Private::Digital::instance().setPullup(pinOf(port), pullup != 0);
}
