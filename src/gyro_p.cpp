#include "private/gyro_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

Gyro &Gyro::instance()
{
    static Gyro s_instance;
    return s_instance;
}

short Gyro::xGyro() const
{
    return Kestrix::instance().readSigned16(Registers::gyroX);
}

short Gyro::yGyro() const
{
    return Kestrix::instance().readSigned16(Registers::gyroY);
}

short Gyro::zGyro() const
{
    return Kestrix::instance().readSigned16(Registers::gyroZ);
}

bool Gyro::calibrate() const
{
    return true;
}

} // namespace Private
