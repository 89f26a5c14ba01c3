#include "kestrix/analog.hpp"

#include "private/analog_p.h"

Analog::Analog(unsigned char port)
    : m_port(port)
{
}

Analog::~Analog() = default;

unsigned short Analog::value() const
{
    return Private::Analog::instance().value(m_port);
}

unsigned char Analog::port() const
{
    return m_port;
}

bool Analog::pullup() const
{
    return Private::Analog::instance().pullup(m_port);
}

Analog8::Analog8(unsigned char port)
    : Analog(port)
{
}

unsigned short Analog8::value() const
{
    return static_cast<unsigned short>(Analog::value() >> 4);
}

Analog10::Analog10(unsigned char port)
    : Analog(port)
{
}

unsigned short Analog10::value() const
{
    return static_cast<unsigned short>(Analog::value() >> 2);
}
