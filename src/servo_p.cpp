#include "private/servo_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

namespace {
constexpr unsigned short MaxPosition = 1023;
constexpr unsigned short RefusedPosition = 65535;
} // namespace

Servo &Servo::instance()
{
    static Servo s_instance;
    return s_instance;
}

bool Servo::isValidPort(int port)
{
    return port >= 0 && port < Registers::ServoCount;
}

void Servo::setEnabled(int port, bool enabled)
{
    if (!isValidPort(port))
        return;
    // All four enables share register 59 with the coprocessor's own bits.
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    // After a failed read the other servos' bits and the coprocessor's own
    // are unknown: writing would switch them off, so nothing is written.
    const Kestrix::Reading reading = kestrix.read(Registers::servoEnables);
    if (!reading.ok)
        return;
    const unsigned char current = static_cast<unsigned char>(reading.value);
    const unsigned char mask = Registers::servoEnableMask(port);
    if (((current & mask) != 0) == enabled)
        return;
    const unsigned char next = enabled ? static_cast<unsigned char>(current | mask)
                                       : static_cast<unsigned char>(current & ~mask);
    kestrix.write(Registers::servoEnables, next);
}

bool Servo::isEnabled(int port) const
{
    if (!isValidPort(port))
        return false;
    return (Kestrix::instance().read(Registers::servoEnables).value & Registers::servoEnableMask(port)) != 0;
}

bool Servo::setPosition(int port, unsigned short position)
{
    if (!isValidPort(port))
        return false;
    if (position > MaxPosition)
        position = MaxPosition;
    // 0..1023 onto 600..2400 us around the 1500 us centre. The order of the
    // operations fixes the rounding, and so which positions read back exactly.
    const double pulse = position / 1023.0 * 1800.0 + 1500.0 - 900.0;
    Kestrix::instance().write(Registers::servoPulse(port), static_cast<unsigned short>(pulse));
    return true;
}

unsigned short Servo::position(int port) const
{
    if (!isValidPort(port))
        return RefusedPosition;
    const unsigned short pulse =
        static_cast<unsigned short>(Kestrix::instance().read(Registers::servoPulse(port)).value);
    // Pulse width to degrees (10 us a degree, 1500 us at 90), then onto 0..1023.
    double position = ((pulse - 1500.0) / 10.0 + 90.0) * 1023.0 / 180.0;
    if (position < 0.0)
        position = 0.0;
    if (position > MaxPosition)
        position = MaxPosition;
    return static_cast<unsigned short>(position);
}

} // namespace Private
