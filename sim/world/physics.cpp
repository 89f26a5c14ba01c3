#include "world/physics.h"

#include "world/mobile_base.h"
#include "model/angles.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

namespace {

// Short enough that a robot at full speed (about 0.3 m/s) moves under two
// millimetres a step, so it neither tunnels through a wall nor misses tape;
// the motors themselves still integrate in steps of 1 ms.
constexpr std::int64_t PhysicsStepUs = 5000;
// The bump switch closes against anything this close in front of the body.
constexpr double BumpReachMetres = 0.003;
constexpr double BumpHalfAngleDeg = 90; // the whole front half: any push forward into something
// An accelerometer saturates; a crash into a wall must not wrap its register.
constexpr double MaxAccel = 8 * constants::Gravity;
constexpr std::size_t MaxPathPoints = 20000;

double wrapDegrees(double degrees)
{
    degrees = std::fmod(degrees, 360.0);
    if (degrees <= -180)
        degrees += 360;
    else if (degrees > 180)
        degrees -= 360;
    return degrees;
}

} // namespace

Physics::Physics(World world, bool hasWorld)
    : m_world(std::move(world)), m_hasWorld(hasWorld), m_pose(m_world.robot.start)
{
    m_path.push_back(m_pose);
}

void Physics::setBaseWheels(double left, double right)
{
    m_baseUsed = m_baseUsed || left != 0 || right != 0;
    m_baseLeft = left;
    m_baseRight = right;
}

void Physics::setSpin(double degreesPerSecond)
{
    m_spinUsed = m_spinUsed || degreesPerSecond != 0;
    m_spinDps = degreesPerSecond;
}

double Physics::wheelMetres(const Model &model, int motor) const
{
    const RobotDescription &robot = m_world.robot;
    return model.motor(motor).position / robot.ticksPerRevolution * Pi * robot.wheelDiameter;
}

void Physics::stepTo(Model &model, RegisterFile &registers, std::int64_t nowUs)
{
    if (!m_started || !model.started()) {
        model.stepTo(registers, nowUs);
        m_started = true;
        m_lastUs = nowUs;
        if (m_hasWorld) {
            m_lastLeft = wheelMetres(model, m_world.robot.leftMotor);
            m_lastRight = wheelMetres(model, m_world.robot.rightMotor);
        }
        sense(model);
        model.publish(registers);
        return;
    }
    if (nowUs <= m_lastUs) {
        model.stepTo(registers, nowUs);
        return;
    }
    // Without a field nothing can be hit and the base's speeds hold between
    // commands, so one step covers the whole interval exactly.
    const std::int64_t stride = m_hasWorld ? PhysicsStepUs : nowUs - m_lastUs;
    while (m_lastUs < nowUs) {
        const std::int64_t next = std::min(nowUs, m_lastUs + stride);
        model.stepTo(registers, next);
        step(model, double(next - m_lastUs) / 1e6);
        m_lastUs = next;
    }
    model.publish(registers);
}

void Physics::step(Model &model, double dt)
{
    const RobotDescription &robot = m_world.robot;
    double left = 0, right = 0;
    if (m_hasWorld) {
        const double l = wheelMetres(model, robot.leftMotor), r = wheelMetres(model, robot.rightMotor);
        // A cleared position counter jumps without the wheel moving.
        const bool cleared = std::fabs(l - m_lastLeft) > 0.05 || std::fabs(r - m_lastRight) > 0.05;
        if (!cleared) {
            left += l - m_lastLeft;
            right += r - m_lastRight;
        }
        m_lastLeft = l;
        m_lastRight = r;
    }
    // The mobile base's wheels sit further apart than the coprocessor's.
    const double forward = (left + right) / 2 + (m_baseLeft + m_baseRight) / 2 * dt;
    const double turn = (right - left) / robot.trackWidth + (m_baseRight - m_baseLeft) * dt / BaseTrackMetres
                      + m_spinDps * Pi / 180 * dt;
    const double heading = m_pose.headingDeg * Pi / 180;
    // Along the chord of the arc: exact for constant wheel speeds.
    const double chord = std::fabs(turn) > 1e-9 ? forward * std::sin(turn / 2) / (turn / 2) : forward;
    Pose next = m_pose;
    next.x += chord * std::cos(heading + turn / 2);
    next.y += chord * std::sin(heading + turn / 2);
    next.headingDeg = wrapDegrees(m_pose.headingDeg + turn * 180 / Pi);

    double moved = forward;
    if (m_hasWorld) {
        // A disc turning on the spot cannot hit anything; one moving into an
        // obstacle stops where it is (the wheels slip).
        const double before = m_world.clearance({m_pose.x, m_pose.y});
        const double after = m_world.clearance({next.x, next.y});
        if (after < robot.radius && after < before) {
            next.x = m_pose.x;
            next.y = m_pose.y;
            moved = 0;
        }
    }
    m_pose = next;
    m_travelled += moved;
    m_turned += turn * 180 / Pi;

    const double speed = dt > 0 ? moved / dt : 0;
    if (!m_hasWorld && !m_baseUsed && !m_spinUsed)
        return;
    Environment &environment = model.environment();
    environment.yawRateDps = dt > 0 ? turn * 180 / Pi / dt : 0;
    environment.accelForward = std::clamp(dt > 0 ? (speed - m_speed) / dt : 0, -MaxAccel, MaxAccel);
    environment.accelLeft = std::clamp(speed * (dt > 0 ? turn / dt : 0), -MaxAccel, MaxAccel);
    m_speed = speed;
    sense(model);

    m_sinceRecorded += dt;
    if (m_sinceRecorded >= m_pathSpacing) {
        m_sinceRecorded = 0;
        m_path.push_back(m_pose);
        if (m_path.size() >= MaxPathPoints) {
            // Keep every other pose and record half as often from now on.
            std::vector<Pose> thinned;
            for (std::size_t k = 0; k < m_path.size(); k += 2)
                thinned.push_back(m_path[k]);
            m_path.swap(thinned);
            m_pathSpacing *= 2;
        }
    }
}

void Physics::sense(Model &model)
{
    // Until a world or the base moves the robot, the script owns the heading
    // and the sensors.
    if (!m_hasWorld && !moved())
        return;
    Environment &environment = model.environment();
    // The compass reads the heading: the field's +x axis is magnetic north
    // and the sensor's axes turn with the robot.
    environment.headingDegrees = -m_pose.headingDeg;
    if (!m_hasWorld)
        return;
    const RobotDescription &robot = m_world.robot;
    environment.magnetoOffsetX = robot.magnetometerOffsetX;
    environment.magnetoOffsetY = robot.magnetometerOffsetY;
    const double heading = m_pose.headingDeg * Pi / 180;
    const double c = std::cos(heading), s = std::sin(heading);
    auto place = [&](Point offset) {
        return Point{m_pose.x + offset.x * c - offset.y * s, m_pose.y + offset.x * s + offset.y * c};
    };
    for (const auto &sensor : robot.reflectanceSensors)
        environment.analogValues[std::size_t(sensor.port)] =
            std::uint16_t(reflectanceReading(m_world.sensedReflectance(place(sensor.offset), ReflectanceSpotRadius)));
    for (const auto &sensor : robot.distanceSensors)
        environment.analogValues[std::size_t(sensor.port)] = std::uint16_t(distanceReading(
            m_world.rayDistance(place(sensor.offset), m_pose.headingDeg + sensor.angleDeg, DistanceSensorRange)));
    if (robot.bumpPort) {
        Point nearest;
        const double gap = m_world.clearance({m_pose.x, m_pose.y}, &nearest);
        bool pressed = false;
        if (gap <= robot.radius + BumpReachMetres) {
            const double bearing = std::atan2(nearest.y - m_pose.y, nearest.x - m_pose.x) * 180 / Pi;
            pressed = gap == 0 || std::fabs(wrapDegrees(bearing - m_pose.headingDeg)) <= BumpHalfAngleDeg;
        }
        m_bumped = pressed;
        // A switch to ground with the board's pull-up: closed reads 0.
        environment.digitalLevels[std::size_t(*robot.bumpPort)] = !pressed;
    }
}

} // namespace kxsim
