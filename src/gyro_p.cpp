#include "private/gyro_p.h"

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

Gyro &Gyro::instance()
{
    static Gyro s_instance;
    return s_instance;
}

short Gyro::xGyro() const
{
    return readAxis(Registers::gyroX);
}

short Gyro::yGyro() const
{
    return readAxis(Registers::gyroY);
}

short Gyro::zGyro() const
{
    return readAxis(Registers::gyroZ);
}

bool Gyro::calibrate() const
{
    return true;
}

} // namespace Private
