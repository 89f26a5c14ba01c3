#include "private/accel_p.h"

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

Accel &Accel::instance()
{
    static Accel s_instance;
    return s_instance;
}

short Accel::xAccel() const
{
    return readAxis(Registers::accelX);
}

short Accel::yAccel() const
{
    return readAxis(Registers::accelY);
}

short Accel::zAccel() const
{
    return readAxis(Registers::accelZ);
}

bool Accel::calibrate() const
{
    return true;
}

} // namespace Private
