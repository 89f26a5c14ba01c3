#include "private/accel_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

Accel &Accel::instance()
{
    static Accel s_instance;
    return s_instance;
}

short Accel::xAccel() const
{
    return Kestrix::instance().readSigned16(Registers::accelX);
}

short Accel::yAccel() const
{
    return Kestrix::instance().readSigned16(Registers::accelY);
}

short Accel::zAccel() const
{
    return Kestrix::instance().readSigned16(Registers::accelZ);
}

bool Accel::calibrate() const
{
    return true;
}

} // namespace Private
