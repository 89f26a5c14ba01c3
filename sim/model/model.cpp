#include "model/model.h"

#include "model/angles.h"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

namespace kxsim {

namespace {

using reg::ModePwm;
using reg::ModePidVelocity;
using reg::ModePidPosition;
using reg::DirOff;
using reg::DirBackward;
using reg::DirForward;
using reg::DirBrake;

int field(std::uint8_t value, int motor)
{
    return (value >> (reg::MotorFieldBits * motor)) & ((1 << reg::MotorFieldBits) - 1);
}

bool anyWritten(const std::bitset<RegisterCount> &written, std::size_t address, std::size_t width)
{
    for (std::size_t k = 0; k < width; ++k)
        if (address + k < RegisterCount && written.test(address + k))
            return true;
    return false;
}

std::int32_t signedGet32(const RegisterFile &registers, std::size_t address)
{
    return static_cast<std::int32_t>(registers.get32(address));
}

std::int16_t signedGet16(const RegisterFile &registers, std::size_t address)
{
    return static_cast<std::int16_t>(registers.get16(address));
}

} // namespace

double targetSpeed(const RegisterFile &registers, int motor, const MotorState &state)
{
    using namespace constants;
    const int mode = field(registers.get8(reg::Modes), motor);
    const double velocity = std::clamp<double>(signedGet16(registers, reg::Velocity0 + 2 * motor),
                                               -MotorMaxPidSpeed, MotorMaxPidSpeed);
    switch (mode) {
    case ModePidVelocity:
        return velocity;
    case ModePidPosition: {
        const double goal = signedGet32(registers, reg::Goal0 + 4 * motor);
        const double remaining = goal - state.position;
        // Arrived, the loop holds the goal: a wheel that the robot's
        // momentum carries on is driven back (an unloaded shaft sits there).
        if (state.arrived)
            return std::clamp(remaining * PidHoldPerSecond, -std::fabs(velocity), std::fabs(velocity));
        if (remaining == 0)
            return 0;
        return std::copysign(std::fabs(velocity), remaining);
    }
    default: { // Pwm; the library never writes mode 2, which runs as Pwm
        const double duty = std::min<double>(registers.get16(reg::Duty0 + 2 * motor), 400) / 400.0;
        switch (field(registers.get8(reg::Directions), motor)) {
        case DirForward:
            return duty * MotorFullSpeed;
        case DirBackward:
            return -duty * MotorFullSpeed;
        default:
            return 0;
        }
    }
    }
}

double lagSeconds(const RegisterFile &registers, int motor)
{
    using namespace constants;
    const int mode = field(registers.get8(reg::Modes), motor);
    if (mode == ModePidVelocity || mode == ModePidPosition)
        return PidLagSeconds;
    switch (field(registers.get8(reg::Directions), motor)) {
    case DirBrake:
        return BrakeLagSeconds;
    case DirOff:
        return CoastLagSeconds;
    default:
        return PwmLagSeconds;
    }
}

Model::Model() = default;

Model::Model(Clock clock) : m_clock(std::move(clock)) {}

static_assert(std::is_trivially_copyable_v<Model::Snapshot>, "kept in memory shared between processes");

void Model::load(const Snapshot &snapshot)
{
    m_motors = snapshot.motors;
    m_servos = snapshot.servos;
    m_environment = snapshot.environment;
    m_lastUs = snapshot.lastUs;
    m_modes = snapshot.modes;
    m_started = snapshot.started;
    m_noise = snapshot.noise;
}

void Model::setLoad(int m, bool gripping, double groundSpeed)
{
    MotorState &motor = m_motors.at(std::size_t(m));
    motor.loaded = true;
    motor.gripping = gripping;
    motor.groundSpeed = groundSpeed;
}

void Model::setServoStops(int s, double lowUs, double highUs)
{
    ServoState &servo = m_servos.at(std::size_t(s));
    servo.lowUs = std::max(lowUs, constants::ServoMinPulseUs);
    servo.highUs = std::min(highUs, constants::ServoMaxPulseUs);
}

void Model::advance(RegisterFile &registers)
{
    if (m_clock)
        stepTo(registers, m_clock());
}

void Model::stepTo(RegisterFile &registers, std::int64_t nowUs)
{
    m_modes = registers.get8(reg::Modes);
    if (!m_started) {
        m_started = true;
        m_lastUs = nowUs;
        // Power-up state of the coprocessor: servo commands centred.
        for (int s = 0; s < 4; ++s)
            if (registers.get16(reg::Pulse0 + 2 * s) == 0)
                registers.set16(reg::Pulse0 + 2 * s, std::uint16_t(constants::ServoStartPulseUs));
        publish(registers);
        return;
    }
    if (nowUs > m_lastUs) {
        const std::int64_t stepUs = std::int64_t(constants::StepSeconds * 1e6);
        std::int64_t t = m_lastUs;
        while (t < nowUs) {
            const std::int64_t next = std::min(nowUs, t + stepUs);
            step(registers, double(next - t) / 1e6);
            t = next;
        }
        m_lastUs = nowUs;
    }
    publish(registers);
}

void Model::step(const RegisterFile &registers, double dt)
{
    using namespace constants;
    for (int m = 0; m < 4; ++m) {
        MotorState &motor = m_motors[std::size_t(m)];
        const double target = targetSpeed(registers, m, motor) * m_environment.motorGain[std::size_t(m)];
        const double lag = lagSeconds(registers, m);
        // A loaded shaft's motor follows its own command through the lag: the
        // ground decides how much of that the shaft makes good.
        const double from = motor.loaded ? motor.driven : motor.speed;
        motor.driven = from + (target - from) * (1.0 - std::exp(-dt / lag));
        motor.speed = motor.loaded && motor.gripping ? motor.groundSpeed : motor.driven;
        const double distance = motor.speed * dt;

        if (field(registers.get8(reg::Modes), m) == ModePidPosition && !motor.arrived) {
            const double goal = signedGet32(registers, reg::Goal0 + 4 * m);
            const double remaining = goal - motor.position;
            // Arrived when this step would reach or pass the goal: the PID
            // loop settles there and holds.
            if (remaining == 0 || (distance != 0 && std::signbit(distance) == std::signbit(remaining)
                                   && std::fabs(distance) >= std::fabs(remaining))) {
                motor.position = goal;
                motor.speed = 0;
                motor.driven = 0;
                motor.arrived = true;
                continue;
            }
        }
        motor.position += distance;
    }

    const std::uint8_t enables = registers.get8(reg::ServoEnable);
    for (int s = 0; s < 4; ++s) {
        if (!(enables & (1u << (reg::ServoEnableFirstBit + s))))
            continue; // limp: the shaft stays where it was left
        ServoState &servo = m_servos[std::size_t(s)];
        const double command = std::clamp<double>(registers.get16(reg::Pulse0 + 2 * s), servo.lowUs, servo.highUs);
        const double reach = ServoSlewUsPerSecond * dt;
        const double gap = command - servo.shaftUs;
        servo.shaftUs = std::fabs(gap) <= reach ? command : servo.shaftUs + std::copysign(reach, gap);
    }
}

int Model::noise()
{
    // xorshift32: a fixed, repeatable sequence.
    m_noise ^= m_noise << 13;
    m_noise ^= m_noise >> 17;
    m_noise ^= m_noise << 5;
    return int(m_noise % (2 * constants::SensorNoise + 1)) - constants::SensorNoise;
}

double Model::gaussian()
{
    // The sum of four uniform draws, scaled: near enough to a normal
    // distribution for sensor noise, and bounded.
    double sum = 0;
    for (int k = 0; k < 4; ++k) {
        m_noise ^= m_noise << 13;
        m_noise ^= m_noise >> 17;
        m_noise ^= m_noise << 5;
        sum += double(m_noise) / 4294967296.0 - 0.5;
    }
    return sum * std::sqrt(3.0);
}

std::uint16_t Model::digitalLevels(const RegisterFile &registers) const
{
    const std::uint16_t outputs = registers.get16(reg::DigitalOut);
    const std::uint16_t pullups = registers.get16(reg::DigitalPullup);
    const std::uint16_t directions = registers.get16(reg::DigitalDir);
    std::uint16_t levels = 0;
    for (int n = 0; n < 16; ++n) {
        const std::uint16_t bit = std::uint16_t(1u << n);
        bool level;
        if (directions & bit)
            level = outputs & bit;
        else if (m_environment.digitalLevels[std::size_t(n)])
            level = *m_environment.digitalLevels[std::size_t(n)];
        else
            level = pullups & bit;
        if (level)
            levels |= bit;
    }
    return levels;
}

void Model::publish(RegisterFile &registers)
{
    using namespace constants;
    registers.set16(reg::DigitalIn, digitalLevels(registers));

    const std::uint8_t analogPullups = registers.get8(reg::AnalogPullup);
    for (int n = 0; n < 6; ++n) {
        std::uint16_t value = (analogPullups & (1u << n)) ? AnalogPulledUp : AnalogFloating;
        if (m_environment.analogValues[std::size_t(n)]) {
            value = *m_environment.analogValues[std::size_t(n)];
            if (m_environment.analogNoise > 0)
                value = std::uint16_t(std::clamp<long>(std::lround(value + m_environment.analogNoise * gaussian()), 0, 4095));
        }
        registers.set16(reg::Analog0 + 2 * std::size_t(n), value);
    }

    const double heading = m_environment.headingDegrees * Pi / 180.0;
    const int axes[9] = {
        int(std::lround(MagnetoHorizontal * std::cos(heading) + m_environment.magnetoOffsetX)),
        int(std::lround(-MagnetoHorizontal * std::sin(heading) + m_environment.magnetoOffsetY)),
        MagnetoVertical,
        // Accelerometer: the base's own acceleration on top of gravity (z up).
        int(std::lround(m_environment.accelForward / Gravity * AccelOneG)),
        int(std::lround(m_environment.accelLeft / Gravity * AccelOneG)),
        AccelOneG,
        0, 0, int(std::lround((m_environment.yawRateDps + m_environment.gyroBiasDps) * GyroCountsPerDps)), // yaw on z
    };
    const std::size_t addresses[9] = {reg::Magneto, reg::Magneto + 2, reg::Magneto + 4,
                                      reg::Accel,   reg::Accel + 2,   reg::Accel + 4,
                                      reg::Gyro,    reg::Gyro + 2,    reg::Gyro + 4};
    for (int k = 0; k < 9; ++k)
        registers.set16(addresses[k], std::uint16_t(std::int16_t(axes[k] + noise())));

    std::uint8_t status = 0;
    const std::uint8_t modes = registers.get8(reg::Modes);
    for (int m = 0; m < 4; ++m) {
        const MotorState &motor = m_motors[std::size_t(m)];
        registers.set32(reg::Counter0 + 4 * std::size_t(m),
                        std::uint32_t(std::int32_t(std::llround(motor.position))));
        const int mode = field(modes, m);
        const bool pidMove = mode == ModePidVelocity || (mode == ModePidPosition && !motor.arrived);
        if (!pidMove)
            status |= std::uint8_t(1u << m);
    }
    registers.set8(reg::Status, status);
}

void Model::written(RegisterFile &registers, const std::bitset<RegisterCount> &written)
{
    // Only a mode field that really changed ends a move: the library rewrites
    // all four fields whenever it changes one.
    for (int m = 0; m < 4; ++m) {
        MotorState &motor = m_motors[std::size_t(m)];
        if (anyWritten(written, reg::Counter0 + 4 * std::size_t(m), 4))
            motor.position = signedGet32(registers, reg::Counter0 + 4 * std::size_t(m));
        const bool newMode = written.test(reg::Modes) && field(registers.get8(reg::Modes), m) != field(m_modes, m);
        if (newMode || anyWritten(written, reg::Goal0 + 4 * std::size_t(m), 4)
            || anyWritten(written, reg::Velocity0 + 2 * std::size_t(m), 2))
            motor.arrived = false;
    }
    m_modes = registers.get8(reg::Modes);
    publish(registers);
}

} // namespace kxsim
