// The library's register map and the simulated coprocessor's own copy must
// name the same bytes: each side is written independently, and a register
// that moved on one side only would pass every test that runs the library
// against the model while the real coprocessor saw something else.
#include "fakes/fake_spi.h"
#include "model/model.h"

#include "private/registers_p.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace R = Private::Registers;
namespace M = kxsim::reg;

namespace {

struct Field
{
    std::string name;
    unsigned library;
    unsigned model;
};

std::vector<Field> fields()
{
    std::vector<Field> f = {
        {"digital levels", R::digitalLevels.address, M::DigitalIn},
        {"digital outputs", R::digitalOutputs.address, M::DigitalOut},
        {"digital pull-ups", R::digitalPullups.address, M::DigitalPullup},
        {"digital directions", R::digitalDirections.address, M::DigitalDir},
        {"analog pull-ups", R::analogPullups.address, M::AnalogPullup},
        {"magneto x", R::magnetoX.address, M::Magneto},
        {"magneto y", R::magnetoY.address, M::Magneto + 2},
        {"magneto z", R::magnetoZ.address, M::Magneto + 4},
        {"accel x", R::accelX.address, M::Accel},
        {"accel y", R::accelY.address, M::Accel + 2},
        {"accel z", R::accelZ.address, M::Accel + 4},
        {"gyro x", R::gyroX.address, M::Gyro},
        {"gyro y", R::gyroY.address, M::Gyro + 2},
        {"gyro z", R::gyroZ.address, M::Gyro + 4},
        {"motor modes", R::motorModes.address, M::Modes},
        {"motor directions", R::motorDirections.address, M::Directions},
        {"motor status", R::motorStatus.address, M::Status},
        {"servo enables", R::servoEnables.address, M::ServoEnable},
        {"mode code Pwm", R::MotorModePwm, M::ModePwm},
        {"mode code PidVelocity", R::MotorModePidVelocity, M::ModePidVelocity},
        {"mode code PidPosition", R::MotorModePidPosition, M::ModePidPosition},
        {"direction code Off", R::MotorDirectionOff, M::DirOff},
        {"direction code Backward", R::MotorDirectionBackward, M::DirBackward},
        {"direction code Forward", R::MotorDirectionForward, M::DirForward},
        {"direction code Brake", R::MotorDirectionBrake, M::DirBrake},
        {"packet length", R::PacketLength, kxsim::PacketLength},
    };
    for (int n = 0; n < static_cast<int>(R::AnalogPortCount); ++n)
        f.push_back({"analog value " + std::to_string(n), R::analogValue(n).address, unsigned(M::Analog0 + 2 * n)});
    for (int m = 0; m < R::MotorCount; ++m) {
        const std::string motor = " of motor " + std::to_string(m);
        f.push_back({"position counter" + motor, R::motorPosition(m).address, unsigned(M::Counter0 + 4 * m)});
        f.push_back({"PID velocity" + motor, R::motorPidVelocity(m).address, unsigned(M::Velocity0 + 2 * m)});
        f.push_back({"PWM duty" + motor, R::motorPwm(m).address, unsigned(M::Duty0 + 2 * m)});
        f.push_back({"goal position" + motor, R::motorGoalPosition(m).address, unsigned(M::Goal0 + 4 * m)});
        // Motor m's bits in the mode and direction registers.
        f.push_back({"two-bit field" + motor, R::MotorFieldMask << R::motorFieldShift(m),
                     ((1u << M::MotorFieldBits) - 1) << (M::MotorFieldBits * m)});
    }
    for (int s = 0; s < R::ServoCount; ++s) {
        const std::string servo = " of servo " + std::to_string(s);
        f.push_back({"pulse command" + servo, R::servoPulse(s).address, unsigned(M::Pulse0 + 2 * s)});
        f.push_back({"enable bit" + servo, R::servoEnableMask(s), 1u << (M::ServoEnableFirstBit + s)});
    }
    return f;
}

} // namespace

TEST(RegisterMap, LibraryAndSimulatedCoprocessorNameTheSameRegisters)
{
    for (const Field &field : fields())
        EXPECT_EQ(field.library, field.model) << field.name;
    // The model keeps every byte a write may reach.
    EXPECT_GT(kxsim::RegisterCount, std::size_t(R::WriteWindowEnd));
}
