#include "private/magneto_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

namespace {
// The axes are signed 16-bit registers.
short readAxis(Registers::Register axis)
{
    return static_cast<short>(Kestrix::instance().read(axis).value);
}
} // namespace

Magneto &Magneto::instance()
{
    static Magneto s_instance;
    return s_instance;
}

short Magneto::xMagneto() const
{
    return readAxis(Registers::magnetoX);
}

short Magneto::yMagneto() const
{
    return readAxis(Registers::magnetoY);
}

short Magneto::zMagneto() const
{
    return readAxis(Registers::magnetoZ);
}

bool Magneto::calibrate() const
{
    return true;
}

} // namespace Private
