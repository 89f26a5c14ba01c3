#include "private/accel_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {
constexpr unsigned char XRegister = 28;
constexpr unsigned char YRegister = 30;
constexpr unsigned char ZRegister = 32;

short readAxis(unsigned char address)
{
    return static_cast<short>(Kestrix::instance().readRegister16b(address));
}
} // namespace

Accel &Accel::instance()
{
    static Accel s_instance;
    return s_instance;
}

short Accel::xAccel() const
{
    return readAxis(XRegister);
}

short Accel::yAccel() const
{
    return readAxis(YRegister);
}

short Accel::zAccel() const
{
    return readAxis(ZRegister);
}

bool Accel::calibrate() const
{
    return true;
}

} // namespace Private
