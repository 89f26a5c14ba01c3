// A model of the coprocessor's behaviour: motors, servos, digital and analog
// ports and the inertial sensors, advanced by simulated time.
//
// The model owns the registers that the coprocessor reports (digital levels,
// analog values, sensor axes, position counters, motor status) and reads the
// ones the library commands (modes, directions, duties, velocities, goals,
// pulse commands, enables, pull-ups). Every quantity below is in the units
// the registers use: position-counter ticks, microseconds of servo pulse,
// raw 12-bit analog counts, raw sensor counts.
#ifndef KESTRIX_SIM_MODEL_H
#define KESTRIX_SIM_MODEL_H

#include "model/registers.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace kxsim {

// Every constant of the model, in one place. The README's table of the
// model (section "The simulated controller") shows them: change both together.
namespace constants {

// Motors. Velocities are in position-counter ticks per second: the PID
// velocity register holds ticks per second directly.
constexpr double MotorFullSpeed = 1500.0;     // ticks/s at PWM duty 400
constexpr double PwmLagSeconds = 0.10;        // first-order lag towards duty x full speed
constexpr double BrakeLagSeconds = 0.01;      // Brake: the shaft stops within a few 10 ms
constexpr double CoastLagSeconds = 0.50;      // Off: the shaft runs down slowly
constexpr double PidLagSeconds = 0.05;        // PID modes: lag towards the commanded velocity
constexpr double MotorMaxPidSpeed = 1500.0;   // PID velocities are limited to this
constexpr double PidHoldPerSecond = 40.0;     // holding a goal: ticks/s of speed per tick off it

// Servos. The shaft slews towards the pulse command; 10 us of pulse is one
// degree, so 3000 us/s is 300 degrees a second (0.2 s for 60 degrees).
constexpr double ServoSlewUsPerSecond = 3000.0;
constexpr double ServoMinPulseUs = 600.0;     // the shaft's end stops
constexpr double ServoMaxPulseUs = 2400.0;
constexpr double ServoStartPulseUs = 1500.0;  // centred at power-up

// Analog ports: 12-bit conversions.
constexpr std::uint16_t AnalogPulledUp = 4095; // pull-up on, nothing connected
constexpr std::uint16_t AnalogFloating = 2048; // pull-up off, nothing connected

// Inertial sensors, raw counts.
constexpr int AccelOneG = 1000;               // counts per g (milli-g); +z points up
constexpr int MagnetoHorizontal = 300;        // horizontal field strength
constexpr int MagnetoVertical = -400;         // vertical field (pointing down)
constexpr int SensorNoise = 3;                // each axis reading: +-3 counts of uniform noise
constexpr double GyroCountsPerDps = 16.0;     // gyroscope: counts per degree a second
constexpr double Gravity = 9.81;              // m/s^2 in one g

// Battery.
constexpr double BatteryVolts = 7.2;          // until a script changes it

// Integration step: the model never takes a step longer than this.
constexpr double StepSeconds = 0.001;

} // namespace constants

// The registers the model uses, as the coprocessor defines them. This is the
// coprocessor's side of the link, so it keeps its own copy rather than the
// library's map: a test holds the two together (test_register_map).
namespace reg {
constexpr std::size_t DigitalIn = 1, DigitalOut = 3, DigitalPullup = 5, DigitalDir = 7;
constexpr std::size_t Analog0 = 9, AnalogPullup = 21; // analog port n at Analog0 + 2n
constexpr std::size_t Magneto = 22, Accel = 28, Gyro = 34; // x, y, z two bytes apart
constexpr std::size_t Counter0 = 40, Modes = 56, Directions = 57, Status = 58, ServoEnable = 59;
// Motor m at Counter0 + 4m, Velocity0 + 2m, Duty0 + 2m, Goal0 + 4m; servo s
// at Pulse0 + 2s and bit 4 + s of ServoEnable.
constexpr std::size_t Velocity0 = 60, Duty0 = 68, Pulse0 = 76, Goal0 = 133;
constexpr int ServoEnableFirstBit = 4;

// Two-bit fields of Modes and Directions, motor m at bits 2m and 2m + 1.
constexpr int MotorFieldBits = 2;
constexpr int ModePwm = 0, ModePidVelocity = 1, ModePidPosition = 3;
constexpr int DirOff = 0, DirBackward = 1, DirForward = 2, DirBrake = 3;
} // namespace reg

struct MotorState
{
    double position = 0;  // ticks
    double speed = 0;     // ticks/s
    bool arrived = true;  // no PID position move in progress
    // A shaft that drives a wheel on the floor (the world's physics sets
    // these): while the tyre grips, the shaft turns with the ground under it;
    // while it slips, it turns as the motor drives it.
    bool loaded = false;
    bool gripping = false;
    double groundSpeed = 0; // ticks/s the ground moves the gripping shaft at
    double driven = 0;      // ticks/s the motor drove the shaft towards in the last step
};

struct ServoState
{
    double shaftUs = constants::ServoStartPulseUs;
    double lowUs = constants::ServoMinPulseUs, highUs = constants::ServoMaxPulseUs; // end stops
};

// What the outside world (the script) sets.
struct Environment
{
    std::array<std::optional<bool>, 16> digitalLevels{};     // external level of input pins
    std::array<std::optional<std::uint16_t>, 6> analogValues{}; // connected sensors
    double headingDegrees = 0;                               // clockwise from north
    double magnetoOffsetX = 0, magnetoOffsetY = 0;           // the board's own field, in counts
    // Motion of the base (a world or the mobile base moves the robot).
    double yawRateDps = 0;                                   // counter-clockwise seen from above
    double accelForward = 0, accelLeft = 0;                  // m/s^2 in the robot's frame
    // What each motor makes of its command: its spread and the battery's
    // voltage under load scale the speed it can reach (1: the nominal motor).
    std::array<double, 4> motorGain{1, 1, 1, 1};
    double analogNoise = 0;   // counts, standard deviation on every connected analog port
    double gyroBiasDps = 0;   // what the gyroscope reads at rest about its z axis
};

class Model : public Behaviour
{
public:
    // Simulated microseconds (any origin), read at every exchange.
    using Clock = std::function<std::int64_t()>;

    // A model without a clock moves only when stepTo() moves it.
    Model();
    explicit Model(Clock clock);

    // Behaviour: brings the model up to the clock's time, then writes its
    // registers; reacts to the library's writes.
    void advance(RegisterFile &registers) override;
    void written(RegisterFile &registers, const std::bitset<RegisterCount> &written) override;

    // Moves the model on to `nowUs` (simulated microseconds, any origin)
    // and refreshes the registers it owns. The first call only sets the
    // origin.
    void stepTo(RegisterFile &registers, std::int64_t nowUs);
    // Rewrites the registers the model owns from its state (and fresh noise).
    void publish(RegisterFile &registers);

    Environment &environment() { return m_environment; }
    const MotorState &motor(int m) const { return m_motors.at(std::size_t(m)); }
    const ServoState &servo(int s) const { return m_servos.at(std::size_t(s)); }
    // The world's side of a loaded shaft (see MotorState).
    void setLoad(int m, bool gripping, double groundSpeed);
    // The end stops of a servo's shaft, in microseconds of pulse: a jaw that
    // closes on a piece stops the shaft where it touches.
    void setServoStops(int s, double lowUs, double highUs);
    std::int64_t lastUs() const { return m_lastUs; }
    bool started() const { return m_started; }

    // The noise generator's seed; the sequence is the same for every run.
    void seed(std::uint32_t value) { m_noise = value ? value : 1; }

    // Everything the model remembers, as plain bytes: the processes of one
    // simulated run keep it in memory they share.
    struct Snapshot
    {
        std::array<MotorState, 4> motors;
        std::array<ServoState, 4> servos;
        Environment environment;
        std::int64_t lastUs;
        std::uint8_t modes;
        bool started;
        std::uint32_t noise;
    };
    Snapshot save() const { return {m_motors, m_servos, m_environment, m_lastUs, m_modes, m_started, m_noise}; }
    void load(const Snapshot &snapshot);

private:
    void step(const RegisterFile &registers, double dt);
    int noise();
    double gaussian(); // standard deviation 1, from the same generator
    std::uint16_t digitalLevels(const RegisterFile &registers) const;

    std::array<MotorState, 4> m_motors{};
    std::array<ServoState, 4> m_servos{};
    Environment m_environment;
    Clock m_clock;
    std::int64_t m_lastUs = 0;
    std::uint8_t m_modes = 0; // register 56 as it stood before the latest write
    bool m_started = false;
    std::uint32_t m_noise = 0x2545F491u;
};

// The speed a motor heads for, in ticks/s, from its registers alone
// (PidPosition: towards the goal at the velocity's magnitude).
double targetSpeed(const RegisterFile &registers, int motor, const MotorState &state);
// The lag a motor's speed follows, in seconds.
double lagSeconds(const RegisterFile &registers, int motor);

} // namespace kxsim

#endif
