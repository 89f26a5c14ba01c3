#include "kestrix/analog.h"

#include "private/analog_p.h"

namespace {
// Only the low 8 bits of a port number reach the driver.
unsigned char portOf(int port)
{
    return static_cast<unsigned char>(port);
}
} // namespace

int analog(int port)
{
    return analog12(port);
}

int analog8(int port)
{
    return analog(port) >> 4;
}

int analog10(int port)
{
    return analog(port) >> 2;
}

int analog12(int port)
{
    set_analog_pullup(port, 1);
    return Private::Analog::instance().value(portOf(port));
}

int analog_et(int port)
{
    set_analog_pullup(port, 0);
    return Private::Analog::instance().value(portOf(port));
}

void set_analog_pullup(int port, int pullup)
{
    Private::Analog::instance().setPullup(portOf(port), pullup != 0);
}

int get_analog_pullup(int port)
{
    return Private::Analog::instance().pullup(portOf(port)) ? 1 : 0;
}
