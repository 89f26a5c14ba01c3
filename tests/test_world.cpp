// The robot in a world: the physics and the simulated base on their own, then
// the example and check-out programs under kestrix-sim at --speed max, judged
// by where the robot went (trace) and what the programs printed.
#include "model/model.h"
#include "physics/physics.h"
#include "world/world.h"
#include "physics/mechanisms.h"
#include "world/mobile_base.h"

#include "emulation.h"
#include "scratch_folder.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>


namespace {

using namespace kxsim;

constexpr double Pi = 3.14159265358979323846;

World parsed(const std::string &text)
{
    World world;
    std::string error;
    EXPECT_TRUE(parseWorld(text, "test.json", world, error)) << error;
    return world;
}

// Heading in degrees (counter-clockwise) the magnetometer's x/y show, as the
// uncalibrated compass reads it.
double magnetometerHeading(const RegisterFile &registers)
{
    const double x = std::int16_t(registers.get16(reg::Magneto));
    const double y = std::int16_t(registers.get16(reg::Magneto + 2));
    return std::atan2(y, x) * 180 / Pi;
}

double angleBetween(double a, double b)
{
    return std::fabs(std::remainder(a - b, 360.0));
}

// Both wheel motors in PID velocity mode at the given ticks per second.
void driveWheels(RegisterFile &registers, int left, int right)
{
    registers.set8(reg::Modes, 0x05); // motors 0 and 1: PID velocity
    registers.set16(reg::Velocity0, std::uint16_t(std::int16_t(left)));
    registers.set16(reg::Velocity0 + 2, std::uint16_t(std::int16_t(right)));
}

const char *const Field = R"({"field": {"width": 2, "height": 2, "border": true},
  "robot": {"start": {"x": 1, "y": 1, "heading_deg": 0}, "bump_switch": {"port": 8},
            "distance_sensors": [{"port": 1, "x": 0.08, "angle_deg": 0}]}})";

} // namespace

TEST(WorldPhysics, SpinningRobotTurnsGyroAndCompassTogether)
{
    Model model;
    RegisterFile registers;
    Physics physics(parsed(Field), true);
    physics.stepTo(model, registers, 0);
    driveWheels(registers, -600, 600); // on the spot, counter-clockwise
    physics.stepTo(model, registers, 2000000);

    const RobotDescription &robot = physics.world().robot;
    const double wheel = 600 / robot.ticksPerRevolution * Pi * robot.wheelDiameter; // m/s
    const double rateDps = 2 * wheel / robot.trackWidth * 180 / Pi;
    EXPECT_NEAR(std::int16_t(registers.get16(reg::Gyro + 4)), rateDps * constants::GyroCountsPerDps,
                constants::SensorNoise + 1);
    // Two seconds at the full rate, less the spin-up through the motors' lag.
    const double expected = rateDps * (2 - constants::PidLagSeconds);
    EXPECT_NEAR(std::remainder(physics.pose().headingDeg - expected, 360.0), 0, 1.0);
    EXPECT_LT(angleBetween(magnetometerHeading(registers), physics.pose().headingDeg), 1.5);
    EXPECT_NEAR(physics.pose().x, 1, 1e-9);
    EXPECT_NEAR(physics.pose().y, 1, 1e-9);
}

TEST(WorldPhysics, WallStopsTheRobotClosesTheBumpAndTheDistanceSensorSeesIt)
{
    Model model;
    RegisterFile registers;
    Physics physics(parsed(Field), true);
    physics.stepTo(model, registers, 0);
    const int farAway = registers.get16(reg::Analog0 + 2);
    EXPECT_TRUE(model.environment().digitalLevels[8].value_or(false)) << "bump switch open at the start";

    driveWheels(registers, 800, 800);
    physics.stepTo(model, registers, 50000);
    // Speeding up: the accelerometer's x axis shows it on top of gravity on z.
    EXPECT_GT(std::int16_t(registers.get16(reg::Accel)), 50);
    EXPECT_NEAR(std::int16_t(registers.get16(reg::Accel + 4)), constants::AccelOneG, constants::SensorNoise);

    physics.stepTo(model, registers, 8000000); // long enough to reach the wall at x = 2
    const double radius = physics.world().robot.radius;
    EXPECT_NEAR(physics.pose().x, 2 - radius, 0.003);
    EXPECT_NEAR(physics.pose().y, 1, 1e-6);
    EXPECT_TRUE(physics.bumped());
    EXPECT_FALSE(model.environment().digitalLevels[8].value_or(true)) << "a closed switch reads low";
    EXPECT_GT(registers.get16(reg::Analog0 + 2), farAway) << "the distance sensor reads higher near the wall";
    EXPECT_EQ(registers.get16(reg::Analog0 + 2), distanceReading(2 - (physics.pose().x + 0.08)));

    driveWheels(registers, -800, -800); // backing off opens the switch again
    physics.stepTo(model, registers, 9000000);
    EXPECT_FALSE(physics.bumped());
    EXPECT_LT(physics.pose().x, 2 - radius - 0.05);
}

// A robot on a 2 m square field facing +x, with one piece ahead of it.
std::string fieldWithPiece(double mass, const std::string &extra = "")
{
    return R"({"field": {"width": 2, "height": 2, "border": true},
      "pieces": [{"shape": "box", "x": 0.5, "y": 1, "length": 0.06, "width": 0.06, "mass": )"
        + std::to_string(mass) + R"(, "friction": 0.5}],
      "robot": {"start": {"x": 0.2, "y": 1, "heading_deg": 0}, "bump_switch": {"port": 8})" + extra + "}}";
}

TEST(WorldPhysics, RobotPushesALightPieceAheadOfItAndSlipsAgainstOneTooHeavy)
{
    {
        Model model;
        RegisterFile registers;
        Physics physics(parsed(fieldWithPiece(0.05)), true);
        physics.stepTo(model, registers, 0);
        driveWheels(registers, 600, 600);
        physics.stepTo(model, registers, 4000000);
        const Table::PieceState piece = physics.pieces().at(0);
        // It drove about 0.45 m; the piece went with it, just ahead of the body.
        EXPECT_GT(physics.pose().x, 0.55);
        EXPECT_NEAR(piece.x, physics.pose().x + physics.world().robot.radius + 0.03, 0.02);
        EXPECT_NEAR(piece.y, 1, 0.03);
        EXPECT_TRUE(physics.bumped()) << "the front switch feels the piece it pushes";
    }
    {
        Model model;
        RegisterFile registers;
        Physics physics(parsed(fieldWithPiece(50)), true);
        physics.stepTo(model, registers, 0);
        driveWheels(registers, 600, 600);
        physics.stepTo(model, registers, 1500000); // at the piece after about 1 s
        const Pose against = physics.pose();
        const std::int32_t before = std::int32_t(registers.get32(reg::Counter0));
        physics.stepTo(model, registers, 4500000);
        const Table::PieceState piece = physics.pieces().at(0);
        EXPECT_NEAR(physics.pose().x, against.x, 0.02) << "25 kg of friction does not move";
        EXPECT_NEAR(piece.x, 0.5, 0.02);
        // The wheels spin on the floor: the counters count the shafts.
        EXPECT_GT(std::int32_t(registers.get32(reg::Counter0)) - before, 1500);
    }
}

TEST(WorldPhysics, AccelerometerReadsGravityAloneAtRestAgainstAWallWhateverTheSleep)
{
    Model model;
    RegisterFile registers;
    Physics physics(parsed(Field), true);
    physics.stepTo(model, registers, 0);
    driveWheels(registers, 800, 800);
    std::int64_t now = 8000000; // pinned against the wall at x = 2, wheels still driving
    physics.stepTo(model, registers, now);
    ASSERT_TRUE(physics.bumped());
    for (const std::int64_t sleepUs : {10000, 20000, 100000, 500000, 1000000, 2000000, 3000}) {
        now += sleepUs;
        physics.stepTo(model, registers, now);
        EXPECT_NEAR(std::int16_t(registers.get16(reg::Accel)), 0, 2 * constants::SensorNoise) << sleepUs << " us";
        EXPECT_NEAR(std::int16_t(registers.get16(reg::Accel + 2)), 0, 2 * constants::SensorNoise) << sleepUs << " us";
        EXPECT_NEAR(std::int16_t(registers.get16(reg::Accel + 4)), constants::AccelOneG, constants::SensorNoise);
    }
}

TEST(WorldFile, PiecesZonesAndMechanismsThatCannotBeAreRefusedWithTheirPlace)
{
    const std::string field = R"("field": {"width": 2, "height": 1})";
    const std::string disc = R"({"shape": "disc", "x": 0.5, "y": 0.5, "radius": 0.05})";
    struct Case
    {
        std::string rest, expected;
    } cases[] = {
        {R"("pieces": [)" + disc + "," + disc + "]", "pieces[1]: overlaps pieces[0] at the start"},
        {R"("pieces": [{"shape": "box", "x": 0.5, "y": 0.5, "length": 0.2, "width": 0.2},
                       {"shape": "box", "x": 0.61, "y": 0.61, "heading_deg": 45}])",
         "pieces[1]: overlaps pieces[0] at the start"},
        {R"("pieces": [{"shape": "disc", "x": 1.98, "y": 0.5, "radius": 0.05}])", "pieces[0]: lies partly outside the field"},
        {R"("pieces": [{"shape": "disc", "x": 0.5, "y": 0.5, "mass": 0}])", "pieces[0].mass: must be more than 0"},
        {R"("pieces": [{"shape": "disc", "x": 0.5, "y": 0.5, "friction": -1}])", "pieces[0].friction: must be 0 to 10"},
        {R"("pieces": [{"shape": "cone", "x": 0.5, "y": 0.5}])", "pieces[0].shape: must be \"box\" or \"disc\""},
        {R"("pieces": [{"shape": "disc", "x": 0.5, "y": 0.5, "width": 0.1}])", "pieces[0].width: is not a size of a disc"},
        {R"("zones": [{"name": "a", "area": [0, 0, 1, 1]}, {"name": "a", "area": [1, 0, 2, 1]}])",
         "zones[1].name: names another zone already: \"a\""},
        {R"("zones": [{"name": "a", "polygon": [[0, 0], [1, 0]]}])", "zones[0].polygon: needs at least three corners"},
        {R"("robot": {"mechanisms": [{"type": "claw", "servo": 4}]})", "robot.mechanisms[0].servo: must be a whole number 0-3, not 4"},
        {R"("robot": {"mechanisms": [{"type": "claw", "servo": 0}, {"type": "paddle", "servo": 0}]})",
         "robot.mechanisms[1].servo: servo 0 moves another mechanism already"},
        {R"("robot": {"mechanisms": [{"type": "claw", "servo": 0, "grip": 1}]})",
         "robot.mechanisms[0]: unknown key \"grip\""},
        {R"("robot": {"mechanisms": [{"type": "arm", "servo": 1}]})", "robot.mechanisms: an arm lifts the claw"},
        {R"("robot": {"touch_switches": [{"port": 8}], "bump_switch": {"port": 8}})", "robot: two switches on one digital pin"},
        {R"("realism": {"analog_noise": -2})", "realism.analog_noise: must be 0 to 500"},
    };
    for (const Case &c : cases) {
        World world;
        std::string error;
        EXPECT_FALSE(parseWorld("{" + field + ", " + c.rest + "}", "bad.json", world, error)) << c.expected;
        EXPECT_EQ(error.rfind("bad.json: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(WorldFile, RobotsGiveEachRobotItsOwnDescriptionAndEveryDescriptionEveryStart)
{
    const World world = parsed(R"({"field": {"width": 2, "height": 1},
      "robots": [{"start": {"x": 0.3, "y": 0.5}, "mechanisms": [{"type": "claw", "servo": 0}]},
                 {"start": {"x": 1.7, "y": 0.5, "heading_deg": 180}, "radius": 0.12, "wheel_diameter": 0.08,
                  "colour": "#102030", "touch_switches": [{"port": 11, "claw": true}],
                  "mechanisms": [{"type": "claw", "servo": 2}, {"type": "arm", "servo": 3}]}]})");
    ASSERT_EQ(world.robots.size(), 2u);
    const RobotDescription &first = world.robotAt(0), &second = world.robotAt(1);
    EXPECT_EQ(first.radius, 0.09);
    EXPECT_EQ(second.radius, 0.12);
    EXPECT_EQ(second.wheelDiameter, 0.08);
    ASSERT_EQ(second.mechanisms.size(), 2u);
    EXPECT_EQ(second.mechanisms[0].servo, 2);
    // A claw's default place is at its own body's front edge.
    EXPECT_NEAR(first.mechanisms[0].at.x, 0.10, 1e-12);
    EXPECT_NEAR(second.mechanisms[0].at.x, 0.13, 1e-12);
    EXPECT_EQ(world.robot.mechanisms.size(), 1u) << "\"robot\" stands for the first";
    for (const RobotDescription *d : {&world.robot, &first, &second}) {
        ASSERT_EQ(d->starts.size(), 2u);
        EXPECT_EQ(d->starts[1].headingDeg, 180);
        EXPECT_EQ(d->colours[0], (std::array<int, 3>{40, 90, 210}));
        EXPECT_EQ(d->colours[1], (std::array<int, 3>{0x10, 0x20, 0x30}));
    }
    EXPECT_EQ(second.start.x, 1.7);
}

TEST(WorldFile, RobotsThatCannotBeAreRefusedWithTheirPlace)
{
    const std::string field = R"("field": {"width": 2, "height": 1})";
    const std::string at = R"("start": {"x": 0.3, "y": 0.5})";
    struct Case
    {
        std::string rest, expected;
    } cases[] = {
        {R"("robot": {}, "robots": [{}])", "top level: \"robot\" and \"robots\" together"},
        {R"("robots": [])", "robots: must list 1 to 2 robots"},
        {R"("robots": [{}, {}, {}])", "robots: must list 1 to 2 robots"},
        {R"("robots": [{)" + at + R"(}, {"start": {"x": 1.5, "y": 0.5},
                       "mechanisms": [{"type": "claw", "servo": 0, "grip": 1}]}])",
         "robots[1].mechanisms[0]: unknown key \"grip\""},
        {R"("robots": [{)" + at + R"(}, {"start": {"x": 1.5, "y": 0.5}, "camera": {"fov_deg": 200}}])",
         "robots[1].camera.fov_deg: must be 1 to 170, not 200"},
        {R"("robots": [{)" + at + R"(}, {"start": {"x": 1.5, "y": 0.5}, "left_motor": 1}])",
         "robots[1].right_motor: must differ from left_motor"},
        {R"("robots": [{)" + at + R"(, "colours": ["#ffffff"]}])", "robots[0]: unknown key \"colours\""},
        {R"("robots": [{"start": [{"x": 0.3, "y": 0.5}]}])", "robots[0].start: must be an object"},
        // Each body's own size: 0.1 m and 0.2 m apart by 0.25 m overlap,
        // as two of the first's size would not.
        {R"("robots": [{"start": {"x": 0.5, "y": 0.5}, "radius": 0.1}, {"start": {"x": 0.75, "y": 0.5}, "radius": 0.2}])",
         "robots[1].start: overlaps the robot at robots[0].start"},
        {R"("robots": [{)" + at + R"(}, {"start": {"x": 1.5, "y": 0.5}, "bump_switch": {"port": 3},
                       "touch_switches": [{"port": 3}]}])",
         "robots[1]: two switches on one digital pin"},
    };
    for (const Case &c : cases) {
        World world;
        std::string error;
        EXPECT_FALSE(parseWorld("{" + field + ", " + c.rest + "}", "bad.json", world, error)) << c.expected;
        EXPECT_EQ(error.rfind("bad.json: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(WorldMechanisms, ClawGripsThePieceItClosesOnCarriesItLiftedAndLetsItGoWhereItIs)
{
    // Claw on servo 0 (open at 800, closed at 300), arm on servo 1, a switch
    // in the claw on pin 10; the piece sits in the open jaws at the start.
    const std::string robot = R"(, "touch_switches": [{"port": 10, "claw": true}],
      "mechanisms": [{"type": "claw", "servo": 0, "x": 0.1, "open_width": 0.1, "depth": 0.08},
                     {"type": "arm", "servo": 1}])";
    std::string text = fieldWithPiece(0.05, robot);
    text.replace(text.find("\"x\": 0.5"), 8, "\"x\": 0.34");
    Model model;
    RegisterFile registers;
    Physics physics(parsed(text), true);
    auto servo = [&](int s, double position) {
        registers.set8(reg::ServoEnable, 0x30);
        registers.set16(reg::Pulse0 + 2 * std::size_t(s), std::uint16_t(std::lround(servoPulse(position))));
    };
    physics.stepTo(model, registers, 0);
    servo(0, 800);
    servo(1, 300);
    physics.stepTo(model, registers, 500000);
    EXPECT_EQ(physics.mechanisms()->state().heldPiece, -1);
    EXPECT_TRUE(model.environment().digitalLevels[10].value_or(false)) << "the claw's switch is open";

    servo(0, 300); // close: the jaws stop on the 6 cm piece, and so does the shaft
    physics.stepTo(model, registers, 1500000);
    ASSERT_EQ(physics.mechanisms()->state().heldPiece, 0);
    EXPECT_NEAR(physics.mechanisms()->state().clawGap, 0.06, 0.001);
    EXPECT_GT(model.servo(0).shaftUs, servoPulse(300) + 100) << "the shaft stops where the jaws touch";
    EXPECT_FALSE(model.environment().digitalLevels[10].value_or(true)) << "a held piece closes the claw's switch";

    servo(1, 700); // lift it and drive about 0.2 m with it
    physics.stepTo(model, registers, 2000000);
    driveWheels(registers, 600, 600);
    physics.stepTo(model, registers, 4000000);
    driveWheels(registers, 0, 0);
    physics.stepTo(model, registers, 4500000);
    const double carriedTo = physics.pieces().at(0).x;
    EXPECT_NEAR(carriedTo - physics.pose().x, 0.34 - 0.2, 0.01) << "it rode in the jaws";
    EXPECT_GT(carriedTo, 0.52);

    servo(1, 300); // set it down and open: it lies where it was let go
    servo(0, 800);
    physics.stepTo(model, registers, 5500000);
    EXPECT_EQ(physics.mechanisms()->state().heldPiece, -1);
    driveWheels(registers, -600, -600);
    physics.stepTo(model, registers, 8000000);
    EXPECT_NEAR(physics.pieces().at(0).x, carriedTo, 0.01);
    EXPECT_LT(physics.pose().x, carriedTo - 0.3) << "the robot backed away without it";
}

// A paddle at the body's front left corner, out to the left at position 0
// and forward at 1023, sweeps a disc that lies in its way round in front of
// the robot, which stays where it is. (Its shaft starts at the middle, the
// paddle at 45 degrees, clear of the disc at 22.5.)
TEST(WorldMechanisms, PaddleSweepsAPieceInItsWayAndLeavesTheRobotWhereItIs)
{
    const std::string text = R"({"field": {"width": 2, "height": 2, "border": true},
      "pieces": [{"shape": "disc", "x": 0.3239, "y": 1.1306, "radius": 0.02, "mass": 0.05, "friction": 0.5}],
      "robot": {"start": {"x": 0.2, "y": 1, "heading_deg": 0},
                "mechanisms": [{"type": "paddle", "servo": 2, "x": 0.05, "y": 0.09, "length": 0.12,
                                "from_deg": 90, "to_deg": 0}]}})";
    Model model;
    RegisterFile registers;
    Physics physics(parsed(text), true);
    auto paddle = [&](double position) {
        registers.set8(reg::ServoEnable, std::uint8_t(1u << (reg::ServoEnableFirstBit + 2)));
        registers.set16(reg::Pulse0 + 4, std::uint16_t(std::lround(servoPulse(position))));
    };
    physics.stepTo(model, registers, 0);
    paddle(0);
    physics.stepTo(model, registers, 1000000);
    EXPECT_NEAR(physics.mechanisms()->state().paddleDeg, 90, 0.5);
    EXPECT_NEAR(physics.pieces().at(0).y, 1.1306, 0.002) << "out to the side, the paddle misses the disc";

    paddle(1023);
    physics.stepTo(model, registers, 3000000);
    EXPECT_NEAR(physics.mechanisms()->state().paddleDeg, 0, 0.5);
    // Pushed round ahead of the bar, which now points forward from its
    // pivot: in the robot's frame the disc lies beside the bar, on the side
    // it swept to, clear of it, and has come a quarter turn round the pivot.
    const Table::PieceState swept = physics.pieces().at(0);
    const Pose robot = physics.pose();
    const double h = robot.headingDeg * Pi / 180, dx = swept.x - robot.x, dy = swept.y - robot.y;
    const double along = std::cos(h) * dx + std::sin(h) * dy - 0.05, across = -std::sin(h) * dx + std::cos(h) * dy - 0.09;
    EXPECT_GT(along, 0.02);
    EXPECT_LT(along, 0.12);
    EXPECT_LT(across, -(0.005 + 0.02) + 0.002) << "along " << along;
    EXPECT_GT(across, -0.05) << "along " << along;
    EXPECT_NEAR(physics.pose().x, 0.2, 0.01);
    EXPECT_NEAR(physics.pose().y, 1.0, 0.01);
}

TEST(WorldPhysics, ReflectanceFollowsMarksLaterOnesOnTop)
{
    const World world = parsed(R"({"field": {"width": 1, "height": 1, "reflectance": 0.9},
      "marks": [{"area": [0.0, 0.0, 0.5, 0.5], "reflectance": 0.4},
                {"line": [[0.1, 0.2], [0.9, 0.2]], "width": 0.02, "reflectance": 0.05}]})");
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.8, 0.8}), 0.9);
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.3, 0.4}), 0.4);
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.3, 0.209}), 0.05);
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.7, 0.2}), 0.05);
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.7, 0.212}), 0.9);
    EXPECT_DOUBLE_EQ(world.reflectanceAt({0.95, 0.2}), 0.9) << "the line ends at its last point";
}

TEST(WorldBase, ReportsAddUpToTheTrueMotionWhateverTheSplit)
{
    BaseProtocol::Motion truth;
    double left = 0, right = 0;
    BaseProtocol base([&] { return truth; }, [&](double l, double r) { left = l, right = r; });

    const std::uint8_t early[] = {137, 0, 100, 0x80, 0x00};
    EXPECT_TRUE(base.receive(early, sizeof early).empty());
    EXPECT_EQ(left, 0) << "nothing before Start";

    const std::uint8_t start[] = {128, 131, 137, 0xFF, 0x38}; // Start, Safe, Drive -200 mm/s ...
    base.receive(start, sizeof start);
    const std::uint8_t radius[] = {0x00, 0x01}; // ... counter-clockwise on the spot
    base.receive(radius, sizeof radius);
    EXPECT_DOUBLE_EQ(left, 0.2);
    EXPECT_DOUBLE_EQ(right, -0.2);
    const std::uint8_t direct[] = {145, 0x01, 0xF4, 0xFE, 0x0C}; // right 500, left -500
    base.receive(direct, sizeof direct);
    EXPECT_DOUBLE_EQ(right, 0.5);
    EXPECT_DOUBLE_EQ(left, -0.5);

    // Reports of distance and angle in whole units, remainders carried.
    long distance = 0, angle = 0;
    for (int k = 1; k <= 10; ++k) {
        truth.travelledMetres = 0.0004 * k * k;
        truth.turnedDegrees = -1.7 * k;
        const std::uint8_t query[] = {149, 3, 19, 20, 35};
        const std::vector<std::uint8_t> answer = base.receive(query, sizeof query);
        ASSERT_EQ(answer.size(), 5u);
        distance += std::int16_t((answer[0] << 8) | answer[1]);
        angle += std::int16_t((answer[2] << 8) | answer[3]);
        EXPECT_EQ(answer[4], 2) << "safe mode";
        EXPECT_LE(std::fabs(distance - truth.travelledMetres * 1000), 0.5);
        EXPECT_LE(std::fabs(angle - truth.turnedDegrees), 0.5);
    }
    const std::uint8_t stop[] = {173, 142, 35};
    EXPECT_EQ(base.receive(stop, sizeof stop), std::vector<std::uint8_t>{}) << "off: no answer";
    EXPECT_EQ(left, 0);
    EXPECT_EQ(right, 0);
}

// ---------------------------------------------------------------- programs

namespace {

using Outcome = ProgramRun;

// The longest run of rows (0.1 s apart) for which `holds` is true.
template <typename Predicate>
int longestRun(const std::vector<double> &values, Predicate holds)
{
    int longest = 0, current = 0;
    for (double v : values) {
        current = holds(v) ? current + 1 : 0;
        longest = std::max(longest, current);
    }
    return longest;
}

class WorldPrograms : public ScratchFolder
{
protected:
    WorldPrograms() : ScratchFolder("kestrix-world-test") {}

    static std::string world(const std::string &name) { return std::string(KESTRIX_WORLDS_DIR) + "/" + name; }

    Outcome simulate(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"--speed", "max", "--trace", file("trace.csv")});
        return runProgram(KESTRIX_SIM_LAUNCHER, arguments);
    }

    Trace trace() const { return Trace::read(file("trace.csv")); }
};

} // namespace

TEST_F(WorldPrograms, SquareEndsWhereItStarted)
{
    const Outcome run =
        simulate({"--world", world("empty.json"), "--plot", file("square.svg"), KESTRIX_EXAMPLES_DIR "/square"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> x = t.values("x_m"), y = t.values("y_m"), h = t.unwrappedHeading();
    ASSERT_GT(x.size(), 10u);
    double farthest = 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        farthest = std::max(farthest, std::hypot(x[k] - x[0], y[k] - y[0]));
    EXPECT_GT(farthest, 0.5) << "it drove a square of 40 cm sides";
    EXPECT_LT(std::hypot(x.back() - x[0], y.back() - y[0]), 0.05);
    EXPECT_NEAR(h.back() - h[0], 360, 5) << "four quarter turns to the left";

    // The picture: a path drawn to scale (400 pixels a metre, 20 pixels of
    // margin, y up) through the square's far corner, back at its start.
    const std::string svg = read("square.svg");
    ASSERT_NE(svg.find("</svg>"), std::string::npos) << svg.substr(0, 200);
    const std::size_t path = svg.find("<polyline fill='none' stroke='#e07000'");
    ASSERT_NE(path, std::string::npos);
    std::istringstream points(svg.substr(svg.find("points='", path) + 8));
    std::vector<Point> drawn;
    for (double px, py; points >> px && points.get() == ',' && points >> py;)
        drawn.push_back({(px - 20) / 400, 3 - (py - 20) / 400});
    ASSERT_GT(drawn.size(), 20u);
    const auto far = std::max_element(drawn.begin(), drawn.end(), [&](Point a, Point b) {
        return std::hypot(a.x - x[0], a.y - y[0]) < std::hypot(b.x - x[0], b.y - y[0]);
    });
    EXPECT_NEAR(std::hypot(far->x - x[0], far->y - y[0]), 0.4 * std::sqrt(2.0), 0.01);
    EXPECT_NEAR(drawn.back().x, x.back(), 0.003);
    EXPECT_NEAR(drawn.back().y, y.back(), 0.003);
}

// The summary's "N m forward, M deg turned in all".
double turnedInSummary(const std::string &summary)
{
    std::smatch match;
    return std::regex_search(summary, match, std::regex(R"(m forward, (-?[0-9.]+) deg turned in all)"))
        ? std::stod(match[1])
        : 0;
}

TEST_F(WorldPrograms, OneSeedGivesOneRunToTheByteAndAnotherSeedAnother)
{
    auto traceOf = [&](const char *seed) {
        const Outcome run = simulate({"--seed", seed, "--duration", "10", "--world", world("line.json"),
                                      KESTRIX_EXAMPLES_DIR "/line_follower"});
        EXPECT_EQ(run.status, 0) << run.err;
        return read("trace.csv");
    };
    const std::string first = traceOf("7"), again = traceOf("7"), other = traceOf("8");
    ASSERT_GT(first.size(), 10000u);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other) << "the shipped worlds draw noise, drift and spread from the seed";
}

TEST_F(WorldPrograms, WrapperScriptsAndTheMotorSafeLauncherShareTheOneWorldAndItsPicture)
{
    // A shell that forks the program, one that runs it among other commands,
    // and kestrix-run in between: one robot, one summary, one picture.
    const std::string program = KESTRIX_EXAMPLES_DIR "/line_follower";
    std::vector<std::vector<std::string>> commands = {{KESTRIX_RUN_LAUNCHER, program}};
    // Under emulation the shell is the build machine's, which cannot start
    // the board's programs.
    if (!underEmulation())
        commands.insert(commands.begin(), {{"/bin/sh", "-c", program}, {"/bin/sh", "-c", program + "; true"}});
    for (const std::vector<std::string> &command : commands) {
        std::vector<std::string> arguments = {"--duration", "40", "--world", world("line.json"), "--plot",
                                              file("lap.svg")};
        arguments.insert(arguments.end(), command.begin(), command.end());
        std::remove(file("lap.svg").c_str());
        const Outcome run = simulate(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_GE(turnedInSummary(run.err), 330) << command.front() << "\n" << run.err;
        const std::string svg = read("lap.svg");
        ASSERT_NE(svg.find("</svg>"), std::string::npos) << command.front() << ": no picture";
        const std::size_t path = svg.find("<polyline fill='none'");
        ASSERT_NE(path, std::string::npos);
        const std::string points = svg.substr(path, svg.find("/>", path) - path);
        EXPECT_GT(std::count(points.begin(), points.end(), ','), 500) << command.front() << ": the lap is drawn";
        const Trace t = trace();
        EXPECT_GE(t.unwrappedHeading().back() - t.unwrappedHeading().front(), 330) << command.front();
    }
}

TEST_F(WorldPrograms, AProgramThatForksDrivesTheOneRobot)
{
    // Forward for 1 s, then the child turns it for 1 s and stops it; the
    // parent waits for the child, which moves none of the parent's time on,
    // and sleeps 1 s of its own.
    const Outcome run = simulate({"--world", world("empty.json"), KESTRIX_FORKING_DRIVER});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("child done at 2.0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("parent done at 2.0"), std::string::npos) << run.out;
    // One summary, of the launched program's end, with the child's turn in.
    std::smatch end;
    ASSERT_TRUE(std::regex_search(run.err, end, std::regex(R"(exited with status 0 after ([0-9.]+) s simulated)")))
        << run.err;
    EXPECT_NEAR(std::stod(end[1]), 2.0, 0.02) << run.err;
    EXPECT_EQ(run.err.find("exited with", std::size_t(end.position(0)) + 1), std::string::npos) << run.err;
    const Trace t = trace();
    const std::vector<double> time = t.values("time"), x = t.values("x_m"), h = t.unwrappedHeading();
    ASSERT_GT(time.size(), 15u);
    EXPECT_NEAR(time.back(), 2.0, 0.01);
    auto at = [&](const std::vector<double> &values, double seconds) {
        std::size_t k = 0;
        while (k + 1 < time.size() && time[k] < seconds)
            ++k;
        return values[k];
    };
    EXPECT_GT(at(x, 1.0) - at(x, 0.0), 0.05) << "driven forward before the fork";
    EXPECT_GT(at(h, 2.0) - at(h, 1.1), 20) << "the child's turn moved the one robot";
    EXPECT_NEAR(turnedInSummary(run.err), h.back() - h.front(), 1.0) << run.err;

    // The duration is the launched program's to end the run at: the child,
    // a copy of it, passes it and goes on to its own end.
    const Outcome cut = simulate({"--duration", "1.5", "--world", world("empty.json"), KESTRIX_FORKING_DRIVER});
    ASSERT_EQ(cut.status, 0) << cut.err;
    EXPECT_NE(cut.out.find("child done at 2.0"), std::string::npos) << cut.out << cut.err;
    EXPECT_EQ(cut.out.find("parent done"), std::string::npos) << cut.out;
    EXPECT_NEAR(trace().values("time").back(), 1.5, 0.01);
}

// The zone of `world` that holds the point, by name; empty for none.
std::string zoneAt(const World &world, double x, double y)
{
    for (const Zone &zone : world.zones)
        if (zone.contains({x, y}))
            return zone.name;
    return "";
}

TEST_F(WorldPrograms, TableProgramsPutTheirPieceIntoAZone)
{
    World table;
    std::string error;
    ASSERT_TRUE(loadWorld(world("table.json"), table, error)) << error;
    struct Case
    {
        const char *program;
        const char *zone;
    } cases[] = {{"push_to_zone", "centre"}, {"claw_carry", "red goal"}};
    for (const Case &c : cases) {
        for (const char *seed : {"1", "2"}) {
            const Outcome run = simulate({"--seed", seed, "--duration", "60", "--world", world("table.json"),
                                          std::string(KESTRIX_EXAMPLES_DIR "/") + c.program});
            ASSERT_EQ(run.status, 0) << c.program << "\n" << run.out << run.err;
            const Trace t = trace();
            const double x = t.values("piece0_x_m").back(), y = t.values("piece0_y_m").back();
            EXPECT_EQ(zoneAt(table, x, y), c.zone) << c.program << " seed " << seed << ": red 1 ended at " << x << ", " << y;
            // It was moved there, not found there: it started on the tape.
            EXPECT_EQ(zoneAt(table, t.values("piece0_x_m").front(), t.values("piece0_y_m").front()), "");
            // And the robot let go of it.
            EXPECT_EQ(t.values("claw_piece").back(), -1) << c.program;
        }
    }
}

// A run's own small files (the battery's, the camera's configurations) go
// into a folder of its own under TMPDIR when it is set, and are gone when it
// ends, however it ends: the camera's program finds its configuration there,
// and a program that --duration cuts short leaves nothing behind either.
TEST_F(WorldPrograms, ARunKeepsItsFilesUnderTmpdirAndLeavesNoneBehind)
{
    const std::string scratch = file("scratch");
    ASSERT_EQ(::mkdir(scratch.c_str(), 0700), 0);
    ASSERT_EQ(::setenv("TMPDIR", scratch.c_str(), 1), 0);
    const Outcome run = simulate({"--seed", "1", "--world", world("table.json"), KESTRIX_EXAMPLES_DIR "/claw_carry"});
    const Outcome cut =
        simulate({"--duration", "3", "--world", world("table.json"), KESTRIX_EXAMPLES_DIR "/claw_carry"});
    ::unsetenv("TMPDIR");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("delivered"), std::string::npos) << run.out;
    EXPECT_EQ(cut.out.find("delivered"), std::string::npos) << cut.out;
    DIR *folder = ::opendir(scratch.c_str());
    ASSERT_NE(folder, nullptr);
    std::vector<std::string> left;
    while (const dirent *entry = ::readdir(folder))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            left.push_back(entry->d_name);
    ::closedir(folder);
    EXPECT_TRUE(left.empty()) << left.size() << " left, the first " << left.front();
}

TEST_F(WorldPrograms, LineFollowerLapsTheLoopWithoutLosingTheTape)
{
    const Outcome run = simulate({"--duration", "40", "--world", world("line.json"), KESTRIX_EXAMPLES_DIR "/line_follower"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> h = t.unwrappedHeading();
    ASSERT_GT(h.size(), 300u);
    EXPECT_GE(h.back() - h.front(), 360) << "one lap around the loop, counter-clockwise";
    // The sensor reads the tape high (about 3900), the floor low (409) and
    // the edge in between. Off the tape means it sees floor only; for more
    // than 0.5 s, that is six rows 0.1 s apart.
    const std::vector<double> sensor = t.values("a0");
    const int floor = reflectanceReading(0.9);
    EXPECT_LT(longestRun(sensor, [&](double v) { return v <= floor + 20; }), 6);
    EXPECT_GT(*std::max_element(sensor.begin(), sensor.end()), 3000) << "it starts on the tape";
}

TEST_F(WorldPrograms, BumpAndTurnNeverKeepsPushingIntoAWall)
{
    const Outcome run = simulate({"--duration", "60", "--world", world("arena.json"), KESTRIX_EXAMPLES_DIR "/bump_and_turn"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> bump = t.values("bump"), x = t.values("x_m"), y = t.values("y_m");
    int episodes = 0;
    for (std::size_t k = 1; k < bump.size(); ++k)
        episodes += bump[k] > 0 && bump[k - 1] == 0 ? 1 : 0;
    EXPECT_GE(episodes, 4) << "it meets the walls and blocks";
    // Each bump is answered at once: the switch never stays closed for
    // more than the back-off.
    EXPECT_LE(longestRun(bump, [](double v) { return v > 0; }), 5);
    const int printed = int(std::count(run.out.begin(), run.out.end(), '\n'));
    EXPECT_NEAR(printed, episodes, 2) << run.out;
    for (std::size_t k = 0; k < x.size(); ++k) {
        ASSERT_GT(x[k], 0.085);
        ASSERT_LT(x[k], 1.915);
        ASSERT_GT(y[k], 0.085);
        ASSERT_LT(y[k], 1.915);
    }
}

TEST_F(WorldPrograms, BaseSpinCheckTurnsTheRobotByTheAngleItReports)
{
    const Outcome run = simulate({"--world", world("empty.json"), KESTRIX_CHECKOUT_DIR "/base_spin_check"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> h = t.unwrappedHeading(), time = t.values("time");
    // Reports come a second apart from the start, the first at 0 s.
    const std::regex report("Angle: (-?[0-9]+)");
    std::vector<int> angles;
    for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), report); it != std::sregex_iterator(); ++it)
        angles.push_back(std::stoi((*it)[1]));
    ASSERT_EQ(angles.size(), 20u) << run.out;
    int largest = 0;
    for (std::size_t k = 0; k < angles.size(); ++k) {
        const std::size_t row = std::size_t(std::lround(double(k) * 10));
        ASSERT_LT(row, h.size());
        ASSERT_NEAR(time[row], double(k), 1e-6);
        EXPECT_NEAR(angles[k], h[row] - h[0], std::max(1.0, 0.02 * std::fabs(h[row] - h[0]))) << "report " << k;
        largest = std::max(largest, std::abs(angles[k]));
    }
    EXPECT_GT(largest, 150) << "spun for ten seconds each way";
    EXPECT_LT(angles[10], -150) << "clockwise first: the angle counts down";
}

TEST_F(WorldPrograms, CompassCalibratedWhileTheScriptSpinsTheRobotReadsTheTrueHeading)
{
    // The script turns the robot itself (no heading lines): a little more
    // than once around during the ten seconds of calibration, then to a new
    // heading every ten seconds. What the compass sees comes through the
    // physics and the magnetometer.
    const std::string script = "0 spin 40\n12 spin 0\n"
                               "20 spin 30\n23 spin 0\n30 spin -45\n34 spin 0\n"
                               "40 spin 60\n42 spin 0\n50 spin -20\n53 spin 0\n";
    const double changes[] = {12, 20, 23, 30, 34, 40, 42, 50, 53};
    // The board's own field shifts the magnetometer's circle by more than its
    // radius: without an accepted calibration no heading comes out right.
    const std::string robot = R"({"field": {"width": 4, "height": 4},
        "robot": {"start": {"x": 2, "y": 2, "heading_deg": 0}, "magnetometer_offset": [420, -250]}})";
    const Outcome run = simulate({"--world", write("offset.json", robot), "--script", write("spin.txt", script),
                                  KESTRIX_CHECKOUT_DIR "/compass_check"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> time = t.values("time"), heading = t.values("heading_deg");
    ASSERT_GT(time.size(), 690u);
    EXPECT_NEAR(t.unwrappedHeading()[120] - heading[0], 480, 1) << "12 s at 40 degrees a second";
    // compass_check prints "n/60 angle = A" at 10 + (n - 1) seconds; a
    // print near a start or stop of the turn is left out, the time of a
    // print being known to a few milliseconds only.
    const std::regex line("([0-9]+)/60 angle = ([-0-9.]+)");
    int checked = 0;
    for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), line); it != std::sregex_iterator(); ++it) {
        const double at = 10 + (std::stoi((*it)[1]) - 1);
        if (std::any_of(std::begin(changes), std::end(changes), [&](double c) { return std::fabs(at - c) < 0.5; }))
            continue;
        const std::size_t row = std::size_t(std::lround(at * 10));
        ASSERT_LT(row, time.size());
        ASSERT_NEAR(time[row], at, 1e-6);
        EXPECT_LT(angleBetween(std::stod((*it)[2]), heading[row]), 5) << (*it)[0] << " true " << heading[row];
        ++checked;
    }
    EXPECT_GE(checked, 50) << run.out;
}

TEST_F(WorldPrograms, CameraRateCheckSeesTheRedBlockSweepLeftAsTheRobotTurnsRight)
{
    World arena;
    std::string error;
    ASSERT_TRUE(loadWorld(world("arena.json"), arena, error)) << error;
    ASSERT_TRUE(arena.robot.camera);
    const Outcome run = simulate({"--world", world("arena.json"), "--script", write("spin.txt", "0 spin -20\n"),
                                  KESTRIX_CHECKOUT_DIR "/camera_rate_check"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("...success\nCam width x height:  160 x 120\nNum channels = 3\n"), std::string::npos)
        << run.out;
    const std::regex frame("([0-9.]+) objs: ([0-9]+)  \\((-?[0-9]+),(-?[0-9]+)\\)");
    std::vector<double> stamps;
    std::vector<int> xs;
    for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), frame); it != std::sregex_iterator(); ++it) {
        EXPECT_EQ((*it)[2], "1") << (*it)[0];
        EXPECT_NE((*it)[3], "-1") << (*it)[0];
        EXPECT_NE((*it)[4], "-1") << (*it)[0];
        stamps.push_back(std::stod((*it)[1]));
        xs.push_back(std::stoi((*it)[3]));
    }
    ASSERT_EQ(xs.size(), 60u) << run.out;
    for (std::size_t k = 1; k < xs.size(); ++k)
        EXPECT_LE(xs[k], xs[k - 1]) << "frame " << k;

    // Where a pinhole camera at the mount puts the block's centre, from the
    // true heading when each picture was taken (the program's last frame
    // came just before its end, the trace's last row).
    const Trace t = trace();
    const std::vector<double> time = t.values("time"), heading = t.unwrappedHeading();
    const CameraDescription &camera = *arena.robot.camera;
    const Rect &block = arena.objects.at(0).box;
    const double toRadians = Pi / 180;
    for (std::size_t k : {std::size_t(0), xs.size() / 2, xs.size() - 1}) {
        const double at = time.back() - (stamps.back() - stamps[k]);
        const std::size_t row = std::clamp<std::size_t>(
            std::size_t(std::upper_bound(time.begin(), time.end(), at) - time.begin()), 1, time.size() - 1);
        const double span = time[row] - time[row - 1]; // the closing row may repeat the last time
        const double share = span > 0 ? std::clamp((at - time[row - 1]) / span, 0.0, 1.0) : 1;
        const double h = (heading[row - 1] + share * (heading[row] - heading[row - 1])) * toRadians;
        const double cx = arena.robot.start.x + camera.x * std::cos(h) - camera.y * std::sin(h);
        const double cy = arena.robot.start.y + camera.x * std::sin(h) + camera.y * std::cos(h);
        const double bearing = std::atan2((block.y0 + block.y1) / 2 - cy, (block.x0 + block.x1) / 2 - cx) - h
                             - camera.yawDeg * toRadians;
        const double expected = 80 - 80 * std::tan(bearing) / std::tan(camera.fieldOfViewDeg / 2 * toRadians);
        EXPECT_NEAR(xs[k], expected, 5) << "frame " << k << " at heading " << h / toRadians;
    }
    EXPECT_GT(xs.front() - xs.back(), 80) << "40 degrees of a 60 degree view";
}

TEST_F(WorldPrograms, MalformedWorldGivesOneLineAndStatus2)
{
    const std::string valid = R"({"field": {"width": 2, "height": 1}})";
    struct Case
    {
        std::string text, expected;
    } cases[] = {
        {R"({"field": {"width": 2}})", "field: missing \"height\""},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"left_motor": 4}})", "robot.left_motor: must be a whole number 0-3, not 4"},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"reflectance_sensors": [{"port": 6}]}})",
         "robot.reflectance_sensors[0].port: must be a whole number 0-5, not 6"},
        {R"({"field": {"width": 2, "height": 1}, "walls": [[0, 0, 1]]})", "walls[0]: must have 4 numbers, not 3"},
        {R"({"field": {"width": 2, "height": 1}, "walls": [[0, 0, 1, 5]]})", "walls[0][1]: must be 0 to 1, not 5"},
        {"{\"field\": {\"width\": 2, \"height\": 1}, \"note\": \"" + std::string((1 << 20) - 100, 'x') + "\"}",
         ":1: line longer than 4096 bytes"},
        {"{\"field\": {\"width\": 2,\n  \"height\": 1,}}", ":2:15: not JSON: syntax error"},
        {"field = 2", ":1:2: not JSON: syntax error"},
        {R"({"field": {"width": 2, "height": 1}, "wals": []})", "top level: unknown key \"wals\""},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"camera": {"fov_deg": 200}}})",
         "robot.camera.fov_deg: must be 1 to 170, not 200"},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"camera": {"configs": {"../x": ["hsv 0 10 0 255 0 255"]}}}})",
         "robot.camera.configs.../x: a configuration name is 1-64 letters, digits, '_' or '-'"},
    };
    for (const Case &c : cases) {
        const std::string path = write("bad.json", c.text);
        const Outcome run = simulate({"--world", path, "true"});
        EXPECT_EQ(run.status, 2) << c.expected;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err.substr(0, 300);
        EXPECT_EQ(run.err.rfind("kestrix-sim: " + path, 0), 0u) << run.err.substr(0, 300);
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err.substr(0, 300);
    }
    const Outcome missing = simulate({"--world", file("none.json"), "true"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "kestrix-sim: cannot read world " + file("none.json") + ": No such file or directory\n");
    const Outcome good = simulate({"--world", write("good.json", valid), "true"});
    EXPECT_EQ(good.status, 0) << good.err;
}

// Worlds made to break the reader rather than describe a field: each one
// line, short, status 2, and never a crash of the launcher.
TEST_F(WorldPrograms, HostileWorldsGiveOneShortLineAndStatus2)
{
    // Lists 300,000 deep, in lines short enough, still under the size limit:
    // the message that quoted them ran out of stack.
    const auto nested = [](const std::string &before, const std::string &inside) {
        std::string text = before;
        for (int k = 0; k < 300000; ++k)
            text += k % 1000 == 999 ? "[\n" : "[";
        text += inside;
        for (int k = 0; k < 300000; ++k)
            text += k % 1000 == 999 ? "]\n" : "]";
        return text + "}";
    };
    const std::string deep = nested(R"({"field": {"width": 2, "height": 1}, "marks": )", "");
    const std::string deepField = nested(R"({"field": )", "0");
    const std::string longKey(4000, 'k');
    struct Case
    {
        std::string text, expected;
    } cases[] = {
        {deep, "nested deeper than"},
        {deepField, "nested deeper than"},
        {R"({"field": {"width": 1e309, "height": 1}})", ":1:21: number out of range 1e309"},
        {R"({"field": {"width": 2, "height": -1e309}})", "number out of range -1e309"},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"bump_switch": {"port": 1e309}}})", "number out of range"},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"bump_switch": {"port": 18446744073709551615}}})",
         "robot.bump_switch.port: must be a whole number 0-15"},
        {R"({"field": {"width": 2, "height": 1}, ")" + longKey + R"(": 1})", "top level: unknown key \"kkkk"},
        {R"({"field": {"width": 2, "height": 1}, "robot": {"camera": {"configs": {")" + longKey + R"(": []}}}})",
         "a configuration name is 1-64"},
        {R"({"field": {"width": 2, "height": 1}, "x\n\u0000y": 1})", "unknown key \"x\\n\\u0000y\""},
    };
    for (const Case &c : cases) {
        const std::string path = write("bad.json", c.text);
        const Outcome run = simulate({"--world", path, "true"});
        EXPECT_EQ(run.status, 2) << c.expected;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err.substr(0, 300);
        EXPECT_LT(run.err.size(), 400u) << run.err.substr(0, 300);
        EXPECT_EQ(run.err.rfind("kestrix-sim: " + path, 0), 0u) << run.err.substr(0, 300);
        EXPECT_NE(run.err.find(c.expected), std::string::npos) << run.err.substr(0, 300);
    }
    // A folder or a device is no world, and says so rather than "not JSON".
    const Outcome folder = simulate({"--world", m_folder, "true"});
    EXPECT_EQ(folder.status, 2);
    EXPECT_EQ(folder.err, "kestrix-sim: cannot read world " + m_folder + ": it is a folder\n");
    const Outcome device = simulate({"--world", "/dev/null", "true"});
    EXPECT_EQ(device.status, 2);
    EXPECT_EQ(device.err, "kestrix-sim: cannot read world /dev/null: it is not a regular file\n");
}
