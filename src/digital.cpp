#include "kestrix/digital.hpp"

#include "private/digital_p.h"

Digital::Digital(unsigned char port)
    : m_port(port)
{
}

bool Digital::setValue(bool value)
{
    return Private::Digital::instance().setValue(m_port, value);
}

bool Digital::value() const
{
    return Private::Digital::instance().value(m_port);
}

bool Digital::setOutput(bool output)
{
    return Private::Digital::instance().setDirection(
        m_port, output ? Private::Digital::Output : Private::Digital::Input);
}

bool Digital::isOutput() const
{
    return Private::Digital::instance().direction(m_port) == Private::Digital::Output;
}

bool Digital::setPullup(bool pullup)
{
    return Private::Digital::instance().setPullup(m_port, pullup);
}

bool Digital::pullup() const
{
    return Private::Digital::instance().pullup(m_port);
}
