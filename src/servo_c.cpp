#include "kestrix/servo.h"

#include "private/registers_p.h"
#include "private/servo_p.h"

void enable_servo(int port)
{
    set_servo_enabled(port, 1);
}

void disable_servo(int port)
{
    set_servo_enabled(port, 0);
}

void enable_servos(void)
{
    for (int port = 0; port < Private::Registers::ServoCount; ++port)
        enable_servo(port);
}

void disable_servos(void)
{
    for (int port = 0; port < Private::Registers::ServoCount; ++port)
        disable_servo(port);
}

void set_servo_enabled(int port, int enabled)
{
    Private::Servo::instance().setEnabled(port, enabled != 0);
}

int get_servo_enabled(int port)
{
    return Private::Servo::instance().isEnabled(port) ? 1 : 0;
}

void set_servo_position(int port, int position)
{
    // Modulo 65536 first, so -1 is 65535 and clamps to the far end.
    Private::Servo::instance().setPosition(port, static_cast<unsigned short>(position));
}

int get_servo_position(int port)
{
    return Private::Servo::instance().position(port);
}
