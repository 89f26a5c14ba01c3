#include "private/motors_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {

constexpr unsigned char PositionCounterBase = 40; // 32-bit, 4 per motor
constexpr unsigned char ControlModeRegister = 56;
constexpr unsigned char DirectionRegister = 57;
constexpr unsigned char StatusRegister = 58;
constexpr unsigned char PidVelocityBase = 60; // 16-bit, 2 per motor
constexpr unsigned char PwmBase = 68;         // 16-bit, 2 per motor
constexpr unsigned char GainBase = 86;        // 12-byte block per motor
constexpr unsigned char GoalPositionBase = 133; // 32-bit, 4 per motor

constexpr unsigned int FullDuty = 400;

bool isValidPort(int port)
{
    return port >= 0 && port <= 3;
}

// Register addresses are bytes; an unguarded port far out of range wraps like
// any other byte arithmetic instead of being refused.
unsigned char address(unsigned char base, int port, int stride)
{
    return static_cast<unsigned char>(base + static_cast<unsigned int>(port) * static_cast<unsigned int>(stride));
}

unsigned int fieldShift(int port)
{
    return 2u * static_cast<unsigned int>(port);
}

// Replaces one motor's two-bit field in register 56 or 57. The update lock
// keeps another thread's read-modify-write of the same register (for another
// motor) from landing between this read and this write.
void writeField(unsigned char reg, int port, unsigned int code)
{
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    const unsigned int shift = fieldShift(port);
    unsigned int value = kestrix.readRegister8b(reg);
    value &= ~(3u << shift);
    value |= (code & 3u) << shift;
    kestrix.writeRegister8b(reg, static_cast<unsigned char>(value));
}

unsigned int readField(unsigned char reg, int port)
{
    return (static_cast<unsigned int>(Kestrix::instance().readRegister8b(reg)) >> fieldShift(port)) & 3u;
}

} // namespace

Motor &Motor::instance()
{
    static Motor s_instance;
    return s_instance;
}

void Motor::setPidGains(int port, short pn, short in, short dn, short pd, short id, short dd)
{
    if (!isValidPort(port))
        return;
    Kestrix &kestrix = Kestrix::instance();
    const unsigned char base = address(GainBase, port, 12);
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 0), static_cast<unsigned short>(pn));
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 4), static_cast<unsigned short>(in));
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 8), static_cast<unsigned short>(dn));
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 2), static_cast<unsigned short>(pd));
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 6), static_cast<unsigned short>(id));
    kestrix.writeRegister16b(static_cast<unsigned char>(base + 10), static_cast<unsigned short>(dd));
}

void Motor::pidGains(int, short &, short &, short &, short &, short &, short &) const
{
}

void Motor::clearBemf(int port)
{
    if (!isValidPort(port))
        return;
    Kestrix::instance().writeRegister32b(address(PositionCounterBase, port, 4), 0);
}

int Motor::backEMF(int port)
{
    if (!isValidPort(port))
        return 0;
    return static_cast<int>(Kestrix::instance().readRegister32b(address(PositionCounterBase, port, 4)));
}

void Motor::setControlMode(int port, ControlMode mode)
{
    if (!isValidPort(port))
        return;
    writeField(ControlModeRegister, port, static_cast<unsigned int>(mode));
}

Motor::ControlMode Motor::controlMode(int port) const
{
    if (!isValidPort(port))
        return Pwm;
    return static_cast<ControlMode>(readField(ControlModeRegister, port));
}

bool Motor::isPidActive(int port) const
{
    const unsigned int status = Kestrix::instance().readRegister8b(StatusRegister);
    const unsigned int bit = (port >= 0 && port < 8) ? (1u << port) : 0u;
    return (status & bit) == 0;
}

void Motor::setPidVelocity(int port, int velocity)
{
    Kestrix::instance().writeRegister16b(address(PidVelocityBase, port, 2),
                                         static_cast<unsigned short>(velocity));
}

int Motor::pidVelocity(int port) const
{
    // The register holds a two's-complement velocity; widening the raw 16
    // bits would turn -1 into 65535.
    return static_cast<short>(Kestrix::instance().readRegister16b(address(PidVelocityBase, port, 2)));
}

void Motor::setPidGoalPos(int port, int position)
{
    Kestrix::instance().writeRegister32b(address(GoalPositionBase, port, 4),
                                         static_cast<unsigned int>(position));
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
    if (duty > FullDuty)
        duty = FullDuty;
    Kestrix::instance().writeRegister16b(address(PwmBase, port, 2), static_cast<unsigned short>(duty));
}

void Motor::setPwmDirection(int port, Direction direction)
{
    if (!isValidPort(port))
        return;
    setControlMode(port, Pwm);
    writeField(DirectionRegister, port, static_cast<unsigned int>(direction));
}

unsigned short Motor::pwm(int port)
{
    if (!isValidPort(port))
        return 0;
    return Kestrix::instance().readRegister16b(address(PwmBase, port, 2));
}

Motor::Direction Motor::pwmDirection(int port) const
{
    if (!isValidPort(port))
        return Off;
    return static_cast<Direction>(readField(DirectionRegister, port));
}

void Motor::stop(int port)
{
    if (!isValidPort(port))
        return;
    setControlMode(port, Pwm);
    setPwmDirection(port, Off);
}

} // namespace Private
