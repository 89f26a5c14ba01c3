#include "kestrix/servo.hpp"

#include "private/servo_p.h"

Servo::Servo(int port)
    : m_port(port)
{
}

bool Servo::setPosition(unsigned int position)
{
    return Private::Servo::instance().setPosition(m_port, static_cast<unsigned short>(position));
}

unsigned int Servo::position() const
{
    return Private::Servo::instance().position(m_port);
}

void Servo::enable()
{
    setEnabled(true);
}

void Servo::disable()
{
    setEnabled(false);
}

void Servo::setEnabled(bool enabled)
{
    Private::Servo::instance().setEnabled(m_port, enabled);
}

bool Servo::isEnabled() const
{
    return Private::Servo::instance().isEnabled(m_port);
}
