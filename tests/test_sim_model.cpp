// The simulated coprocessor: motors, servos, ports and sensors as the library
// sees them through its transport, on a virtual clock.
#include "fixture.h"

#include "private/battery_p.h"
#include "private/buttons_p.h"
#include "fakes/fake_input.h"
#include "fakes/fake_battery.h"
#include "private/kestrix_p.h"
#include "kestrix/motors.h"
#include "model/model.h"
#include "model/script.h"
#include "preload/simulation.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <stdlib.h>
#include <unistd.h>

using Private::Kestrix;
namespace c = kxsim::constants;
namespace reg = kxsim::reg;

namespace {

constexpr int Pwm = 0, PidVelocity = 1, PidPosition = 3;
constexpr int Off = 0, Backward = 1, Forward = 2, Brake = 3;

class SimModel : public VirtualTimeBoard
{
protected:
    void SetUp() override
    {
        VirtualTimeBoard::SetUp();
        spi().setRecording(false);
        spi().setBehaviour(&model);
        k().readRegister8b(0); // power-up: the model's clock starts here
    }
    void TearDown() override
    {
        spi().setBehaviour(nullptr);
        VirtualTimeBoard::TearDown();
    }

    static Kestrix &k() { return Kestrix::instance(); }

    // Lets `seconds` of simulated time pass, then reads once so that the
    // model catches up.
    void run(double seconds)
    {
        clock().advanceUs(std::int64_t(seconds * 1e6));
        k().readRegister8b(0);
    }

    int counter(int m) { return int(k().readRegister32b(std::uint8_t(reg::Counter0 + 4 * m))); }
    bool done(int m) { return (k().readRegister8b(reg::Status) >> m) & 1; }

    void setMode(int m, int mode)
    {
        const std::uint8_t value = k().readRegister8b(reg::Modes);
        k().writeRegister8b(reg::Modes, std::uint8_t((value & ~(3 << 2 * m)) | (mode << 2 * m)));
    }
    void setDirection(int m, int direction)
    {
        const std::uint8_t value = k().readRegister8b(reg::Directions);
        k().writeRegister8b(reg::Directions, std::uint8_t((value & ~(3 << 2 * m)) | (direction << 2 * m)));
    }
    void drive(int m, int duty, int direction)
    {
        setMode(m, Pwm);
        k().writeRegister16b(std::uint8_t(reg::Duty0 + 2 * m), std::uint16_t(duty));
        setDirection(m, direction);
    }
    // The order the motor C interface uses: mode, goal, velocity.
    void moveTo(int m, int speed, int goal)
    {
        setMode(m, PidPosition);
        k().writeRegister32b(std::uint8_t(reg::Goal0 + 4 * m), std::uint32_t(goal));
        const int sign = counter(m) > goal ? -1 : 1;
        k().writeRegister16b(std::uint8_t(reg::Velocity0 + 2 * m), std::uint16_t(std::int16_t(sign * speed)));
    }

    // The model hung on the SPI fake moves with the fake clock.
    kxsim::Model model{[] { return kxsim::Clock::instance().nowUs(); }};
};

} // namespace

TEST_F(SimModel, PwmSpeedFollowsDutyAndDirectionThroughTheLag)
{
    drive(0, 400, Forward);
    drive(1, 100, Backward);
    run(c::PwmLagSeconds);
    // One time constant: about 63 % of the way to the target.
    EXPECT_NEAR(model.motor(0).speed, 0.632 * c::MotorFullSpeed, 0.02 * c::MotorFullSpeed);
    run(1.0);
    EXPECT_NEAR(model.motor(0).speed, c::MotorFullSpeed, 1.0);
    EXPECT_NEAR(model.motor(1).speed, -0.25 * c::MotorFullSpeed, 1.0);
    EXPECT_EQ(model.motor(2).speed, 0.0);

    const int before = counter(0);
    run(2.0);
    EXPECT_NEAR(counter(0) - before, 2.0 * c::MotorFullSpeed, 5);
    EXPECT_LT(counter(1), 0);
}

TEST_F(SimModel, BrakeStopsQuicklyWhileOffCoasts)
{
    drive(0, 400, Forward);
    drive(1, 400, Forward);
    run(1.0);
    setDirection(0, Brake);
    setDirection(1, Off);
    run(0.1);
    EXPECT_LT(std::fabs(model.motor(0).speed), 0.01 * c::MotorFullSpeed);
    EXPECT_GT(model.motor(1).speed, 0.75 * c::MotorFullSpeed);
    run(5.0);
    EXPECT_LT(model.motor(1).speed, 0.01 * c::MotorFullSpeed);
}

TEST_F(SimModel, PidVelocityTracksTheVelocityRegisterAndIsNeverDone)
{
    setMode(2, PidVelocity);
    k().writeRegister16b(reg::Velocity0 + 4, std::uint16_t(std::int16_t(-500)));
    run(1.0);
    EXPECT_NEAR(model.motor(2).speed, -500, 1);
    const int before = counter(2);
    run(2.0);
    EXPECT_NEAR(counter(2) - before, -1000, 2);
    EXPECT_FALSE(done(2));
    EXPECT_TRUE(done(0)); // motor 0 untouched, in Pwm
}

TEST_F(SimModel, PositionMoveSetsDoneOnlyOnArrivalAndHolds)
{
    const std::int64_t start = clock().nowUs();
    moveTo(1, 300, 1200);
    run(0.01);
    EXPECT_FALSE(done(1));
    // 1200 ticks at 300 ticks/s take 4 s plus the lag; poll every 10 ms
    // like a caller blocking on the motor, and note the first done reading.
    double doneAt = -1;
    for (int i = 1; i <= 600 && doneAt < 0; ++i) {
        run(0.01);
        const int position = counter(1);
        if (done(1)) {
            doneAt = double(clock().nowUs() - start) / 1e6;
            EXPECT_EQ(position, 1200);
        } else {
            EXPECT_LT(position, 1200);
        }
    }
    // The lag delays a ramp by one time constant.
    EXPECT_NEAR(doneAt, 4.0 + c::PidLagSeconds, 0.02);
    run(3.0);
    EXPECT_EQ(counter(1), 1200);
    EXPECT_TRUE(done(1));

    // Back down: the velocity is negative, the counter falls.
    moveTo(1, 800, 0);
    EXPECT_FALSE(done(1));
    run(1.0);
    EXPECT_NEAR(counter(1), 1200 - 800 + 800 * c::PidLagSeconds, 10);
    run(1.0);
    EXPECT_EQ(counter(1), 0);
    EXPECT_TRUE(done(1));
}

TEST_F(SimModel, MtpSetsDoneOnlyOnArrivalAndBmdThenReturns)
{
    const std::int64_t start = clock().nowUs();
    mtp(2, 500, 2000);
    EXPECT_EQ(get_motor_done(2), 0);
    bmd(2);
    const double waited = double(clock().nowUs() - start) / 1e6;
    EXPECT_EQ(get_motor_position_counter(2), 2000);
    EXPECT_EQ(get_motor_done(2), 1);
    // 2000 ticks at 500 ticks/s, one lag late, noticed within a poll or two.
    EXPECT_NEAR(waited, 4.0 + c::PidLagSeconds, 0.02);

    mtp(2, 500, -500); // the C interface turns the speed towards the goal
    EXPECT_EQ(get_motor_done(2), 0);
    bmd(2);
    EXPECT_EQ(get_motor_position_counter(2), -500);
}

TEST_F(SimModel, NewGoalVelocityOrModeClearsTheDoneBit)
{
    moveTo(3, 1000, 100);
    run(1.0);
    ASSERT_TRUE(done(3));

    // A command for where the motor already is ends at once, but it is a new
    // move all the same.
    k().writeRegister32b(reg::Goal0 + 12, 100);
    EXPECT_FALSE(model.motor(3).arrived);
    EXPECT_TRUE(done(3));
    k().writeRegister16b(reg::Velocity0 + 6, 1000);
    EXPECT_FALSE(model.motor(3).arrived);
    EXPECT_TRUE(done(3));

    // Changing motor 0's mode rewrites motor 3's field unchanged: no new move.
    setMode(0, PidVelocity);
    EXPECT_TRUE(model.motor(3).arrived);

    setMode(3, Pwm);
    EXPECT_TRUE(done(3)); // Pwm: no PID move
    k().writeRegister32b(reg::Goal0 + 12, 5000);
    run(1.0);
    EXPECT_EQ(counter(3), 100); // a goal alone does not move a Pwm motor
    setMode(3, PidPosition);
    EXPECT_FALSE(done(3));
    run(1.0);
    EXPECT_FALSE(done(3));
    EXPECT_GT(counter(3), 900);
}

TEST_F(SimModel, CounterWriteOfZeroClearsIt)
{
    drive(0, 400, Forward);
    run(1.0);
    ASSERT_GT(counter(0), 500);
    k().writeRegister32b(reg::Counter0, 0);
    EXPECT_LT(counter(0), 5); // only what the 50 us of the exchanges added
    setDirection(0, Brake);
    run(0.5);
    const int stopped = counter(0);
    k().writeRegister32b(reg::Counter0, 0);
    run(0.5);
    EXPECT_EQ(counter(0), 0);
    EXPECT_GT(stopped, 0);
}

TEST_F(SimModel, EnabledServoSlewsAtItsRateAndDisabledOneGoesLimp)
{
    k().writeRegister16b(reg::Pulse0, 2400);
    k().writeRegister16b(reg::Pulse0 + 2, 600);
    k().writeRegister8b(reg::ServoEnable, 0x10); // servo 0 only
    run(0.1);
    EXPECT_NEAR(model.servo(0).shaftUs, c::ServoStartPulseUs + 0.1 * c::ServoSlewUsPerSecond, 1);
    EXPECT_EQ(model.servo(1).shaftUs, c::ServoStartPulseUs);
    run(1.0);
    EXPECT_EQ(model.servo(0).shaftUs, 2400);

    k().writeRegister8b(reg::ServoEnable, 0x00);
    k().writeRegister16b(reg::Pulse0, 600);
    run(1.0);
    EXPECT_EQ(model.servo(0).shaftUs, 2400);
}

TEST_F(SimModel, DigitalPinsReadOutputsScriptedLevelsOrPullups)
{
    model.environment().digitalLevels[5] = false;
    model.environment().digitalLevels[6] = true;
    model.environment().digitalLevels[2] = false; // ignored: pin 2 is an output
    k().writeRegister16b(reg::DigitalDir, 0x0007);     // pins 0-2 outputs
    k().writeRegister16b(reg::DigitalOut, 0x0005);     // drive 0 and 2 high
    k().writeRegister16b(reg::DigitalPullup, 0x0128);  // pull-ups on 3, 5 and 8
    const std::uint16_t levels = k().readRegister16b(reg::DigitalIn);
    // 0, 2 outputs high; 1 output low; 3, 8 pulled up; 5 held low despite
    // its pull-up; 6 held high without one; the rest float low.
    EXPECT_EQ(levels, 0x0001 | 0x0004 | 0x0008 | 0x0100 | 0x0040);
}

TEST_F(SimModel, AnalogPortsReadScriptedValuesOrPullupLevels)
{
    model.environment().analogValues[1] = 1234;
    k().writeRegister8b(reg::AnalogPullup, 0x03); // ports 0 and 1
    EXPECT_EQ(k().readRegister16b(reg::Analog0), c::AnalogPulledUp);
    EXPECT_EQ(k().readRegister16b(reg::Analog0 + 2), 1234);
    EXPECT_EQ(k().readRegister16b(reg::Analog0 + 4), c::AnalogFloating);
    k().writeRegister8b(reg::AnalogPullup, 0x00);
    EXPECT_EQ(k().readRegister16b(reg::Analog0), c::AnalogFloating);
    EXPECT_EQ(k().readRegister16b(reg::Analog0 + 2), 1234);
}

TEST_F(SimModel, InertialSensorsShowGravityQuietGyroAndHeading)
{
    auto axis = [](std::uint8_t address) { return int(std::int16_t(k().readRegister16b(address))); };
    bool noisy = false;
    for (int i = 0; i < 20; ++i) {
        const int z = axis(reg::Accel + 4);
        EXPECT_NEAR(z, c::AccelOneG, c::SensorNoise);
        noisy = noisy || z != c::AccelOneG;
        EXPECT_NEAR(axis(reg::Accel), 0, c::SensorNoise);
        EXPECT_NEAR(axis(reg::Gyro + 2), 0, c::SensorNoise);
    }
    EXPECT_TRUE(noisy);

    model.environment().headingDegrees = 90;
    run(0.01);
    EXPECT_NEAR(axis(reg::Magneto), 0, c::SensorNoise);
    EXPECT_NEAR(axis(reg::Magneto + 2), -c::MagnetoHorizontal, c::SensorNoise);
    EXPECT_NEAR(axis(reg::Magneto + 4), c::MagnetoVertical, c::SensorNoise);
}

TEST(SimScript, ParsesEveryCommandAndSortsByTime)
{
    std::istringstream text("# inputs\n"
                            "2.5 press side   # hold\n"
                            "\n"
                            "1s click a\n"
                            "0 digital 15 1\n"
                            "0 digital 3 none\n"
                            "0.25 analog 5 4095\n"
                            "3 heading -45.5\n"
                            "4 battery 6.8\n"
                            "4 charging on\n"
                            "2.5 release SIDE\n"
                            "5 spin -90\n");
    std::vector<kxsim::ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(kxsim::parseScript(text, "s", events, error)) << error;
    ASSERT_EQ(events.size(), 11u);
    using K = kxsim::ScriptEvent::Kind;
    EXPECT_EQ(events[0].kind, K::Digital);
    EXPECT_EQ(events[0].port, 15);
    EXPECT_EQ(events[0].value, 1.0);
    EXPECT_FALSE(events[1].value.has_value());
    EXPECT_EQ(events[2].atUs, 250000);
    EXPECT_EQ(events[3].kind, K::Press); // click: press at 1 s ...
    EXPECT_EQ(events[4].kind, K::Release); // ... release 0.1 s later
    EXPECT_EQ(events[4].atUs, 1100000);
    EXPECT_EQ(events[5].port, kxsim::ButtonSide);
    EXPECT_EQ(events[6].kind, K::Release); // same time: order as written
    EXPECT_EQ(events[7].value, -45.5);
    EXPECT_EQ(events[8].kind, K::Battery);
    EXPECT_EQ(events[9].kind, K::Charging);
    EXPECT_EQ(events[9].value, 1.0);
    EXPECT_EQ(events[10].kind, K::Spin);
    EXPECT_EQ(events[10].value, -90.0);
}

TEST(SimScript, RejectsMalformedLinesWithTheirNumber)
{
    // The last one is well formed but longer than any script line can be.
    const std::string bad[] = {
        "x press a",          "-1 press a",         "1 press",           "1 press q",
        "1 jump",             "1 digital 16 1",     "1 digital 2 2",     "1 analog 6 0",
        "1 analog 0 4096",    "1 analog 0 1.5",     "1 heading north",   "1 battery -1",
        "1 charging maybe",   "1 press a b",        "1",                 "1e10 press a",
        "1 spin 721",         "1 spin fast",
        "1 press a #" + std::string(kxsim::MaxScriptLine, '-'),
    };
    for (const std::string &line : bad) {
        std::istringstream text(std::string("0 press a\n") + line + "\n");
        std::vector<kxsim::ScriptEvent> events;
        std::string error;
        EXPECT_FALSE(kxsim::parseScript(text, "in.txt", events, error)) << line;
        EXPECT_EQ(error.rfind("in.txt:2: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_TRUE(events.empty());
    }
}

class SimBattery : public VirtualTimeBoard
{
protected:
    void SetUp() override
    {
        VirtualTimeBoard::SetUp();
        char folder[] = "/tmp/kestrix-battery.XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        m_folder = folder;
    }
    void TearDown() override
    {
        for (const char *file : {"/BAT0/type", "/BAT0/voltage_now", "/BAT0/status"})
            ::unlink((m_folder + file).c_str());
        ::rmdir((m_folder + "/BAT0").c_str());
        ::rmdir(m_folder.c_str());
        VirtualTimeBoard::TearDown();
    }
    std::string m_folder;
};

TEST_F(SimBattery, LibraryReadsTheSimulatedVoltageAndChargingState)
{
    auto &battery = kxsim::FakeBattery::instance();
    ASSERT_TRUE(battery.enable(m_folder, c::BatteryVolts));
    EXPECT_FLOAT_EQ(Battery::powerLevel(), float(c::BatteryVolts));
    EXPECT_FALSE(Battery::isCharging());
    battery.setVolts(6.25);
    battery.setCharging(true);
    EXPECT_FLOAT_EQ(Battery::powerLevel(), 6.25f);
    EXPECT_TRUE(Battery::isCharging());
    // Paths outside the power-supply class are left alone.
    EXPECT_EQ(battery.redirect("/sys/class/power_supplyX"), "");
    EXPECT_EQ(battery.redirect("/sys/class/power_supply/BAT0/type"), m_folder + "/BAT0/type");
}

TEST_F(SimBattery, SimulationAppliesScriptInputsAndTracesAtAFixedRate)
{
    ASSERT_TRUE(kxsim::FakeBattery::instance().enable(m_folder, c::BatteryVolts));
    kxsim::FakeInput::instance().reset();
    std::istringstream text("0.25 analog 2 100\n1.0 battery 5.5\n0.5 press side\n1.5 release side\n1.6 click b\n");
    kxsim::Simulation::Options options;
    std::string error;
    ASSERT_TRUE(kxsim::parseScript(text, "s", options.events, error));
    options.tracePath = m_folder + "/trace.csv";
    auto &simulation = kxsim::Simulation::instance();
    ASSERT_TRUE(simulation.start(options, error)) << error;

    // Full forward on motor 0; no exchange for the next 2 s.
    Kestrix::instance().writeRegister16b(reg::Duty0, 400);
    Kestrix::instance().writeRegister8b(reg::Directions, Forward);
    clock().usleep(1000000);
    simulation.sync();
    EXPECT_TRUE(Button::Side.isPressed());
    EXPECT_FALSE(Button::A.isPressed());
    clock().usleep(640000);
    simulation.sync();
    EXPECT_FALSE(Button::Side.isPressed());
    EXPECT_TRUE(Button::B.isPressed()); // clicked at 1.6 s, held 0.1 s
    clock().usleep(360000);
    simulation.sync();
    EXPECT_FALSE(Button::B.isPressed());
    EXPECT_EQ(Kestrix::instance().readRegister16b(reg::Analog0 + 4), 100);
    EXPECT_FLOAT_EQ(Battery::powerLevel(), 5.5f);
    simulation.finishAtExit();
    spi().setBehaviour(nullptr);

    std::ifstream trace(options.tracePath);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(trace, line))
        rows.push_back(line);
    ::unlink(options.tracePath.c_str());
    ASSERT_EQ(rows.size(), 1u + 21u); // header, 0.0 s to 2.0 s every 0.1 s
    EXPECT_EQ(rows[0].rfind("time,m0_position,m0_speed,", 0), 0u);
    EXPECT_EQ(rows[3].rfind("0.200,", 0), 0u);
    auto column = [](const std::string &row, int index) {
        std::istringstream cells(row);
        std::string cell;
        for (int i = 0; i <= index; ++i)
            std::getline(cells, cell, ',');
        return std::stod(cell);
    };
    EXPECT_EQ(column(rows[2], 1 + 8 + 8 + 16 + 2), c::AnalogFloating); // a2 at 0.1 s
    EXPECT_EQ(column(rows[4], 1 + 8 + 8 + 16 + 2), 100);              // a2 at 0.3 s
    // The counter column climbs row by row, at full speed after the lag.
    EXPECT_NEAR(column(rows[21], 1) - column(rows[11], 1), c::MotorFullSpeed, 5);
    EXPECT_GT(column(rows[21], 2), 0.99 * c::MotorFullSpeed);
}
