#include "private/gyro_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {
constexpr unsigned char XRegister = 34;
constexpr unsigned char YRegister = 36;
constexpr unsigned char ZRegister = 38;

short readAxis(unsigned char address)
{
    return static_cast<short>(Kestrix::instance().readRegister16b(address));
}
} // namespace

Gyro &Gyro::instance()
{
    static Gyro s_instance;
    return s_instance;
}

short Gyro::xGyro() const
{
    return readAxis(XRegister);
}

short Gyro::yGyro() const
{
    return readAxis(YRegister);
}

short Gyro::zGyro() const
{
    return readAxis(ZRegister);
}

bool Gyro::calibrate() const
{
    return true;
}

} // namespace Private
