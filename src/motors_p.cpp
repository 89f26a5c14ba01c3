#include "private/motors_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

namespace {

// Replaces one motor's two-bit field in register 56 or 57. The update lock
// keeps another thread's read-modify-write of the same register (for another
// motor) from landing between this read and this write.
void writeField(Registers::Register reg, int port, unsigned int code)
{
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    // After a failed read the other motors' fields are unknown: writing
    // ours onto zeros would switch them to Pwm / Off, so nothing is written.
    const Kestrix::Reading reading = kestrix.read(reg);
    if (!reading.ok)
        return;
    const unsigned int shift = Registers::motorFieldShift(port);
    unsigned int value = reading.value;
    value &= ~(Registers::MotorFieldMask << shift);
    value |= (code & Registers::MotorFieldMask) << shift;
    kestrix.write(reg, static_cast<unsigned char>(value));
}

unsigned int readField(Registers::Register reg, int port)
{
    return (Kestrix::instance().read(reg).value >> Registers::motorFieldShift(port)) & Registers::MotorFieldMask;
}

} // namespace

Motor &Motor::instance()
{
    static Motor s_instance;
    return s_instance;
}

bool Motor::isValidPort(int port)
{
    return port >= 0 && port < Registers::MotorCount;
}

void Motor::setPidGains(int port, short pn, short in, short dn, short pd, short id, short dd)
{
    if (!isValidPort(port))
        return;
    Kestrix &kestrix = Kestrix::instance();
    kestrix.write(Registers::motorPGainNumerator(port), static_cast<unsigned short>(pn));
    kestrix.write(Registers::motorIGainNumerator(port), static_cast<unsigned short>(in));
    kestrix.write(Registers::motorDGainNumerator(port), static_cast<unsigned short>(dn));
    kestrix.write(Registers::motorPGainDivisor(port), static_cast<unsigned short>(pd));
    kestrix.write(Registers::motorIGainDivisor(port), static_cast<unsigned short>(id));
    kestrix.write(Registers::motorDGainDivisor(port), static_cast<unsigned short>(dd));
}

void Motor::pidGains(int, short &, short &, short &, short &, short &, short &) const
{
}

void Motor::clearBemf(int port)
{
    if (!isValidPort(port))
        return;
    Kestrix::instance().write(Registers::motorPosition(port), 0);
}

int Motor::backEMF(int port)
{
    if (!isValidPort(port))
        return 0;
    return static_cast<int>(Kestrix::instance().read(Registers::motorPosition(port)).value);
}

void Motor::setControlMode(int port, ControlMode mode)
{
    if (!isValidPort(port))
        return;
    writeField(Registers::motorModes, port, static_cast<unsigned int>(mode));
}

Motor::ControlMode Motor::controlMode(int port) const
{
    if (!isValidPort(port))
        return Pwm;
    return static_cast<ControlMode>(readField(Registers::motorModes, port));
}

bool Motor::isPidActive(int port) const
{
    const unsigned int status = Kestrix::instance().read(Registers::motorStatus).value;
    return (status & Registers::motorDoneMask(port)) == 0;
}

void Motor::setPidVelocity(int port, int velocity)
{
    Kestrix::instance().write(Registers::motorPidVelocity(port), static_cast<unsigned short>(velocity));
}

int Motor::pidVelocity(int port) const
{
    // The register holds a two's-complement velocity; widening the raw 16
    // bits would turn -1 into 65535.
    return static_cast<short>(Kestrix::instance().read(Registers::motorPidVelocity(port)).value);
}

void Motor::setPidGoalPos(int port, int position)
{
    Kestrix::instance().write(Registers::motorGoalPosition(port), static_cast<unsigned int>(position));
}

int Motor::pidGoalPos(int) const
{
    return 0;
}

void Motor::setPwm(int port, unsigned short percent)
{
    if (!isValidPort(port))
        return;
    setControlMode(port, Pwm);
    // In unsigned int, 4 x 65535 cannot overflow.
    unsigned int duty = 4u * percent;
    if (duty > Registers::MotorFullDuty)
        duty = Registers::MotorFullDuty;
    Kestrix::instance().write(Registers::motorPwm(port), duty);
}

void Motor::setPwmDirection(int port, Direction direction)
{
    if (!isValidPort(port))
        return;
    setControlMode(port, Pwm);
    writeField(Registers::motorDirections, port, static_cast<unsigned int>(direction));
}

unsigned short Motor::pwm(int port)
{
    if (!isValidPort(port))
        return 0;
    return static_cast<unsigned short>(Kestrix::instance().read(Registers::motorPwm(port)).value);
}

Motor::Direction Motor::pwmDirection(int port) const
{
    if (!isValidPort(port))
        return Off;
    return static_cast<Direction>(readField(Registers::motorDirections, port));
}

void Motor::stop(int port)
{
    if (!isValidPort(port))
        return;
    setControlMode(port, Pwm);
    setPwmDirection(port, Off);
}

} // namespace Private
