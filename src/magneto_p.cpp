#include "private/magneto_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

Magneto &Magneto::instance()
{
    static Magneto s_instance;
    return s_instance;
}

short Magneto::xMagneto() const
{
    return Kestrix::instance().readSigned16(Registers::magnetoX);
}

short Magneto::yMagneto() const
{
    return Kestrix::instance().readSigned16(Registers::magnetoY);
}

short Magneto::zMagneto() const
{
    return Kestrix::instance().readSigned16(Registers::magnetoZ);
}

bool Magneto::calibrate() const
{
    return true;
}

} // namespace Private
