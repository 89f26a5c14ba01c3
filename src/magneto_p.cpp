#include "private/magneto_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {
constexpr unsigned char XRegister = 22;
constexpr unsigned char YRegister = 24;
constexpr unsigned char ZRegister = 26;

short readAxis(unsigned char address)
{
    return static_cast<short>(Kestrix::instance().readRegister16b(address));
}
} // namespace

Magneto &Magneto::instance()
{
    static Magneto s_instance;
    return s_instance;
}

short Magneto::xMagneto() const
{
    return readAxis(XRegister);
}

short Magneto::yMagneto() const
{
    return readAxis(YRegister);
}

short Magneto::zMagneto() const
{
    return readAxis(ZRegister);
}

bool Magneto::calibrate() const
{
    return true;
}

} // namespace Private
