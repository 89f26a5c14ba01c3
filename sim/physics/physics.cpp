#include "physics/physics.h"

#include "world/mobile_base.h"
#include "model/angles.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace kxsim {

namespace {

// Short enough that a robot at full speed (about 0.3 m/s) moves under two
// millimetres a step, so it neither tunnels through a wall nor misses tape;
// the motors themselves still integrate in steps of 1 ms.
constexpr std::int64_t PhysicsStepUs = 5000;
constexpr double BumpHalfAngleDeg = 90; // the whole front half: any push forward into something
// An accelerometer saturates; a crash into a wall must not wrap its register.
constexpr double MaxAccel = 8 * constants::Gravity;

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

// The table and the copy of the world it refers to, kept together.
struct Physics::Field
{
    Field(World described, std::size_t robots)
        : world(std::move(described)), table(std::make_unique<Table>(world, robots))
    {
    }
    World world;
    std::unique_ptr<Table> table;
};

Physics::Physics(World world, bool hasWorld, std::uint64_t seed)
    : Physics(world, seed, hasWorld ? std::make_shared<Field>(world, 1) : nullptr, 0)
{
}

std::vector<std::unique_ptr<Physics>> Physics::match(const World &world, std::size_t robots, std::uint64_t seed)
{
    const auto field = std::make_shared<Field>(world, robots);
    std::vector<std::unique_ptr<Physics>> members;
    // The first robot draws from the seed itself, as a robot alone does.
    for (std::size_t n = 0; n < robots; ++n)
        members.emplace_back(new Physics(world, seed + 0x9E3779B97F4A7C15ull * n, field, n));
    return members;
}

Physics::Physics(const World &world, std::uint64_t seed, std::shared_ptr<Field> field, std::size_t robot)
    : m_world(world), m_hasWorld(field != nullptr), m_field(std::move(field)), m_robot(robot),
      m_random(seed)
{
    const RobotDescription &own = described();
    m_pose = robot < own.starts.size() ? own.starts[robot] : own.start;
    const Realism &realism = m_world.realism;
    if (realism.on) {
        for (double &factor : m_wheelFactor)
            factor = 1 + realism.wheelSpread * uniform();
        for (double &factor : m_motorFactor)
            factor = 1 + realism.motorSpread * uniform();
        m_gyroBias = realism.gyroBiasDps * uniform();
    }
    if (m_field) {
        m_table = m_field->table.get();
        m_mechanisms = std::make_unique<Mechanisms>(m_field->world, *m_table, m_robot);
    }
    m_path.push_back(m_pose);
}

static_assert(std::is_trivially_copyable_v<Physics::Snapshot>, "kept in memory shared between processes");

void Physics::save(Snapshot &s) const
{
    if (m_table) {
        s.robot = m_table->robotState(m_robot);
        for (std::size_t n = 0; n < m_table->pieceCount(); ++n) {
            s.pieces[n] = m_table->pieceState(n);
            s.held[n] = std::uint8_t(m_table->holder(n) + 1);
            s.lifted[n] = m_table->lifted(n);
        }
        s.mechanisms = m_mechanisms->save();
    }
    s.pose = m_pose;
    s.bumped = m_bumped;
    s.started = m_started;
    s.baseUsed = m_baseUsed;
    s.spinUsed = m_spinUsed;
    s.lastUs = m_lastUs;
    s.baseLeft = m_baseLeft;
    s.baseRight = m_baseRight;
    s.spinDps = m_spinDps;
    s.speed = m_speed;
    s.vx = m_vx;
    s.vy = m_vy;
    s.travelled = m_travelled;
    s.turned = m_turned;
    s.pathSpacing = m_pathSpacing;
    s.sinceRecorded = m_sinceRecorded;
    s.sinceMark = m_sinceMark;
    s.gyroBias = m_gyroBias;
    s.sag = m_sag;
    if (s.randomDraws != m_draws + 1) {
        s.random = m_random;
        s.randomDraws = m_draws + 1;
    }
    // The path grows by a point every few steps: only what is new is copied,
    // unless it was thinned since.
    std::size_t from = s.pathRevision == m_pathRevision ? std::min<std::size_t>(s.pathCount, m_path.size()) : 0;
    std::copy(m_path.begin() + std::ptrdiff_t(from), m_path.end(), s.path.begin() + std::ptrdiff_t(from));
    s.pathCount = std::uint32_t(m_path.size());
    s.pathRevision = m_pathRevision;
    from = std::min<std::size_t>(s.markCount, m_timeMarks.size());
    std::copy(m_timeMarks.begin() + std::ptrdiff_t(from), m_timeMarks.end(), s.marks.begin() + std::ptrdiff_t(from));
    s.markCount = std::uint32_t(m_timeMarks.size());
}

void Physics::load(const Snapshot &s)
{
    if (s.pathCount == 0)
        return; // nobody has saved a world yet
    if (m_table) {
        m_table->setRobotState(s.robot, m_robot);
        // The robots of a match share the pieces: the first robot's
        // snapshot brings them in, each held by the robot that grips it.
        for (std::size_t n = 0; n < m_table->pieceCount() && m_robot == 0; ++n) {
            m_table->setPieceState(n, s.pieces[n]);
            m_table->hold(n, s.held[n] != 0, s.held[n] != 0 ? s.held[n] - 1u : 0);
            m_table->lift(n, s.lifted[n] != 0);
        }
        m_mechanisms->load(s.mechanisms);
    }
    m_pose = s.pose;
    m_bumped = s.bumped;
    m_started = s.started;
    m_baseUsed = s.baseUsed;
    m_spinUsed = s.spinUsed;
    m_lastUs = s.lastUs;
    m_baseLeft = s.baseLeft;
    m_baseRight = s.baseRight;
    m_spinDps = s.spinDps;
    m_speed = s.speed;
    m_vx = s.vx;
    m_vy = s.vy;
    m_travelled = s.travelled;
    m_turned = s.turned;
    m_pathSpacing = s.pathSpacing;
    m_sinceRecorded = s.sinceRecorded;
    m_sinceMark = s.sinceMark;
    m_gyroBias = s.gyroBias;
    m_sag = s.sag;
    if (s.randomDraws != 0 && s.randomDraws != m_draws + 1) {
        m_random = s.random;
        m_draws = s.randomDraws - 1;
    }
    // As in save(): what this copy has of the same path stays, and only the
    // points added since come over (a match's programs take the world in at
    // every turn).
    const auto same = [](const Pose &a, const Pose &b) {
        return a.x == b.x && a.y == b.y && a.headingDeg == b.headingDeg;
    };
    std::size_t kept = m_pathRevision == s.pathRevision ? std::min<std::size_t>(m_path.size(), s.pathCount) : 0;
    if (kept > 0 && !same(m_path[kept - 1], s.path[kept - 1]))
        kept = 0;
    m_path.resize(kept);
    m_path.insert(m_path.end(), s.path.begin() + std::ptrdiff_t(kept), s.path.begin() + s.pathCount);
    m_pathRevision = s.pathRevision;
    kept = std::min<std::size_t>(m_timeMarks.size(), s.markCount);
    if (kept > 0 && !same(m_timeMarks[kept - 1], s.marks[kept - 1]))
        kept = 0;
    m_timeMarks.resize(kept);
    m_timeMarks.insert(m_timeMarks.end(), s.marks.begin() + std::ptrdiff_t(kept), s.marks.begin() + s.markCount);
}

double Physics::uniform()
{
    // From the generator's bits alone, so that a seed gives the same run on
    // every machine and library.
    ++m_draws;
    return double(m_random() >> 11) / 9007199254740992.0 * 2 - 1;
}

void Physics::applyRealism(Model &model, double load, double dt)
{
    const Realism &realism = m_world.realism;
    Environment &environment = model.environment();
    if (!realism.on)
        return;
    // The battery sags under load and recovers at rest, within a second or so.
    const double target = 1 - realism.batterySag * std::clamp(load, 0.0, 1.0);
    m_sag += (target - m_sag) * (1 - std::exp(-dt / 1.0));
    for (int m = 0; m < 4; ++m)
        environment.motorGain[std::size_t(m)] = m_motorFactor[m] * m_sag;
    m_gyroBias += realism.gyroDriftDps * std::sqrt(dt) * uniform() * std::sqrt(3.0);
    environment.gyroBiasDps = m_gyroBias;
    environment.analogNoise = realism.analogNoise;
}

void Physics::setPose(const Pose &pose)
{
    m_pose = pose;
    if (m_table)
        m_table->placeRobot(pose, m_robot);
    m_vx = m_vy = 0;
}

std::vector<Table::PieceState> Physics::pieces() const
{
    std::vector<Table::PieceState> states;
    states.reserve(pieceCount());
    if (m_table)
        for (std::size_t n = 0; n < m_table->pieceCount(); ++n)
            states.push_back(m_table->piece(n));
    return states;
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

void Physics::stepTo(Model &model, RegisterFile &registers, std::int64_t nowUs)
{
    if (!m_started || !model.started()) {
        model.stepTo(registers, nowUs);
        m_started = true;
        m_lastUs = nowUs;
        sense(model);
        model.publish(registers);
        return;
    }
    if (nowUs <= m_lastUs) {
        model.stepTo(registers, nowUs);
        return;
    }
    if (!m_hasWorld) {
        // Without a field nothing can be hit and the base's speeds hold
        // between commands, so one step covers the whole interval exactly.
        model.stepTo(registers, nowUs);
        step(model, double(nowUs - m_lastUs) / 1e6);
        m_lastUs = nowUs;
        model.publish(registers);
        return;
    }
    // The table moves in whole steps, so that every step sees the same
    // forces over the same time (a short last step would make a spike of
    // every velocity change); the model catches up to the clock in between.
    while (m_lastUs + PhysicsStepUs <= nowUs) {
        const std::int64_t next = m_lastUs + PhysicsStepUs;
        model.stepTo(registers, next);
        stepOnTable(model, double(PhysicsStepUs) / 1e6);
        m_lastUs = next;
    }
    model.stepTo(registers, nowUs);
    model.publish(registers);
}

void Physics::step(Model &model, double dt)
{
    // The mobile base's wheels sit further apart than the coprocessor's.
    const double forward = (m_baseLeft + m_baseRight) / 2 * dt;
    const double turn = (m_baseRight - m_baseLeft) * dt / BaseTrackMetres + m_spinDps * Pi / 180 * dt;
    const double heading = m_pose.headingDeg * Pi / 180;
    // Along the chord of the arc: exact for constant wheel speeds.
    const double chord = std::fabs(turn) > 1e-9 ? forward * std::sin(turn / 2) / (turn / 2) : forward;
    m_pose.x += chord * std::cos(heading + turn / 2);
    m_pose.y += chord * std::sin(heading + turn / 2);
    m_pose.headingDeg = wrapDegrees(m_pose.headingDeg + turn * 180 / Pi);
    m_travelled += forward;
    m_turned += turn * 180 / Pi;
    if (!m_baseUsed && !m_spinUsed)
        return;
    const double speed = dt > 0 ? forward / dt : 0;
    Environment &environment = model.environment();
    environment.yawRateDps = dt > 0 ? turn * 180 / Pi / dt : 0;
    environment.accelForward = std::clamp(dt > 0 ? (speed - m_speed) / dt : 0, -MaxAccel, MaxAccel);
    environment.accelLeft = std::clamp(speed * (dt > 0 ? turn / dt : 0), -MaxAccel, MaxAccel);
    m_speed = speed;
    sense(model);
    record(dt);
}

void Physics::record(double dt)
{
    m_sinceMark += dt;
    if (m_sinceMark >= TimeMarkSeconds - 1e-9) {
        m_sinceMark -= TimeMarkSeconds;
        if (m_timeMarks.size() < MaxTimeMarks)
            m_timeMarks.push_back(m_pose);
    }
    m_sinceRecorded += dt;
    if (m_sinceRecorded < m_pathSpacing)
        return;
    m_sinceRecorded = 0;
    m_path.push_back(m_pose);
    if (m_path.size() >= MaxPathPoints) {
        // Keep every other pose and record half as often from now on.
        std::vector<Pose> thinned;
        for (std::size_t k = 0; k < m_path.size(); k += 2)
            thinned.push_back(m_path[k]);
        m_path.swap(thinned);
        m_pathSpacing *= 2;
        ++m_pathRevision;
    }
}

double Physics::motorForce(double force, double wheelSpeed) const
{
    // A DC motor's torque falls from stall to zero at its free speed when it
    // drives the wheel on, and grows beyond stall when it holds the wheel
    // back.
    const RobotDescription &robot = described();
    const double radius = robot.wheelDiameter / 2;
    const double freeSpeed = constants::MotorFullSpeed / robot.ticksPerRevolution * 2 * Pi * radius;
    const double share = std::fabs(wheelSpeed) / freeSpeed;
    const bool driving = force * wheelSpeed > 0;
    return robot.stallTorque / radius * std::max(0.0, driving ? 1 - share : 1 + share);
}

bool Physics::stepTogether(const std::vector<Member> &robots, std::int64_t nowUs, bool carryOn)
{
    if (robots.empty())
        return false;
    Physics &lead = *robots.front().physics;
    if (robots.size() == 1 || !lead.m_table) {
        for (const Member &m : robots)
            m.physics->stepTo(*m.model, *m.registers, nowUs);
        return false;
    }
    // The robots of a match start together (the launcher starts them so),
    // and the first one's time is the table's.
    bool fresh = false;
    for (const Member &m : robots)
        if (!m.physics->m_started || !m.model->started()) {
            m.physics->stepTo(*m.model, *m.registers, nowUs);
            m.physics->m_lastUs = lead.m_lastUs;
            fresh = true;
        }
    if (fresh || nowUs <= lead.m_lastUs) {
        for (const Member &m : robots)
            m.model->stepTo(*m.registers, nowUs);
        return false;
    }
    const double dt = double(PhysicsStepUs) / 1e6;
    const bool steps = lead.m_lastUs + PhysicsStepUs <= nowUs;
    if (steps && !carryOn) {
        // Another program's engine stepped last: this one starts from the
        // states alone, as that one would have.
        Field &field = *lead.m_field;
        field.table = field.table->freshCopy();
        for (const Member &m : robots) {
            m.physics->m_table = field.table.get();
            m.physics->m_mechanisms->moveTo(*field.table);
        }
    }
    while (lead.m_lastUs + PhysicsStepUs <= nowUs) {
        const std::int64_t next = lead.m_lastUs + PhysicsStepUs;
        for (const Member &m : robots) {
            m.model->stepTo(*m.registers, next);
            m.physics->driveOnTable(*m.model, dt, m.stopped);
        }
        lead.m_table->step(dt);
        for (const Member &m : robots) {
            m.physics->afterTableStep(*m.model, dt);
            m.physics->m_lastUs = next;
        }
    }
    for (const Member &m : robots) {
        m.model->stepTo(*m.registers, nowUs);
        m.model->publish(*m.registers);
    }
    return steps;
}

void Physics::stepOnTable(Model &model, double dt)
{
    driveOnTable(model, dt, false);
    m_table->step(dt);
    afterTableStep(model, dt);
}

void Physics::driveOnTable(Model &model, double dt, bool stopped)
{
    const RobotDescription &robot = described();
    const double track = robot.trackWidth;
    const double metresPerTick = Pi * robot.wheelDiameter / robot.ticksPerRevolution;
    const double perTickLeft = metresPerTick * m_wheelFactor[0], perTickRight = metresPerTick * m_wheelFactor[1];
    const Table::Motion before = m_table->robot(m_robot);
    const double heading = before.headingDeg * Pi / 180;
    const double c = std::cos(heading), s = std::sin(heading);
    const double speed = before.vx * c + before.vy * s;
    const double turnRate = before.turnDps * Pi / 180;
    const double groundLeft = speed - turnRate * track / 2, groundRight = speed + turnRate * track / 2;

    // Where the wheels would take the robot over this step, if nothing held
    // it back: the shafts as their motors drive them, the mobile base's
    // wheels, the script's spin.
    // A robot whose program has ended holds its wheels still.
    const double on = stopped ? 0 : 1;
    const double wantLeft = on * model.motor(robot.leftMotor).driven * perTickLeft;
    const double wantRight = on * model.motor(robot.rightMotor).driven * perTickRight;
    const double wantSpeed = (wantLeft + wantRight) / 2 + on * (m_baseLeft + m_baseRight) / 2;
    const double wantTurn = (wantRight - wantLeft) / track
                          + on * ((m_baseRight - m_baseLeft) / BaseTrackMetres + m_spinDps * Pi / 180);
    // The force and torque that would get it there, shared between the wheels.
    const double force = m_table->robotMass(m_robot) * (wantSpeed - speed) / dt;
    const double torque = m_table->robotInertia(m_robot) * (wantTurn - turnRate) / dt;
    const double needLeft = force / 2 - torque / track, needRight = force / 2 + torque / track;
    // Each tyre passes on at most its grip on half the robot's weight. It
    // slips when the motor pushes harder than that; a motor too weak for what
    // is asked stalls with the wheel, which then turns with the ground.
    const double grip = robot.tyreFriction * m_table->robotMass(m_robot) * constants::Gravity / 2;
    const double motorLeft = motorForce(needLeft, groundLeft), motorRight = motorForce(needRight, groundRight);
    const bool slipLeft = std::fabs(needLeft) > grip && motorLeft > grip;
    const bool slipRight = std::fabs(needRight) > grip && motorRight > grip;
    const double limitLeft = std::min(grip, motorLeft), limitRight = std::min(grip, motorRight);
    const double left = std::clamp(needLeft, -limitLeft, limitLeft);
    const double right = std::clamp(needRight, -limitRight, limitRight);
    m_table->driveRobot(left + right, (right - left) * track / 2, m_robot);
    m_drive = {slipLeft, slipRight, left, right};
}

void Physics::afterTableStep(Model &model, double dt)
{
    const RobotDescription &robot = described();
    const double track = robot.trackWidth;
    const double metresPerTick = Pi * robot.wheelDiameter / robot.ticksPerRevolution;
    const double perTickLeft = metresPerTick * m_wheelFactor[0], perTickRight = metresPerTick * m_wheelFactor[1];
    const bool slipLeft = m_drive.slipLeft, slipRight = m_drive.slipRight;
    const double left = m_drive.left, right = m_drive.right;
    m_mechanisms->update(model);

    const Table::Motion after = m_table->robot(m_robot);
    const double h = after.headingDeg * Pi / 180;
    const double ca = std::cos(h), sa = std::sin(h);
    const double newSpeed = after.vx * ca + after.vy * sa;
    const double newTurn = after.turnDps * Pi / 180;
    // A wheel whose tyre held turns with the ground; one that slipped spins
    // as its motor drives it, and its counter counts the shaft, not the floor.
    const bool coprocessorDrives = !m_baseUsed && !m_spinUsed;
    if (coprocessorDrives) {
        model.setLoad(robot.leftMotor, !slipLeft, (newSpeed - newTurn * track / 2) / perTickLeft);
        model.setLoad(robot.rightMotor, !slipRight, (newSpeed + newTurn * track / 2) / perTickRight);
    }

    m_travelled += newSpeed * dt;
    m_turned += after.turnDps * dt;
    m_pose = {after.x, after.y, wrapDegrees(after.headingDeg)};
    Environment &environment = model.environment();
    environment.yawRateDps = after.turnDps;
    // The accelerometer feels the change of the body's velocity over the
    // step, in its own frame; at rest only gravity.
    const double ax = (after.vx - m_vx) / dt, ay = (after.vy - m_vy) / dt;
    environment.accelForward = std::clamp(ax * ca + ay * sa, -MaxAccel, MaxAccel);
    environment.accelLeft = std::clamp(-ax * sa + ay * ca, -MaxAccel, MaxAccel);
    m_vx = after.vx;
    m_vy = after.vy;
    m_speed = newSpeed;
    const double stall = robot.stallTorque / (robot.wheelDiameter / 2);
    applyRealism(model, (std::fabs(left) + std::fabs(right)) / (2 * stall), dt);
    sense(model);
    record(dt);
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
    const RobotDescription &robot = described();
    environment.magnetoOffsetX = robot.magnetometerOffsetX;
    environment.magnetoOffsetY = robot.magnetometerOffsetY;
    const double heading = m_pose.headingDeg * Pi / 180;
    const double c = std::cos(heading), s = std::sin(heading);
    auto place = [&](Point offset) {
        return Point{m_pose.x + offset.x * c - offset.y * s, m_pose.y + offset.x * s + offset.y * c};
    };
    for (const auto &sensor : robot.reflectanceSensors) {
        // A piece lying over the sensor's spot covers the floor.
        const Point spot = place(sensor.offset);
        double reflectance;
        if (const std::optional<std::size_t> piece = m_table->pieceAt(spot)) {
            const std::array<int, 3> &rgb = m_world.pieces[*piece].rgb;
            reflectance = (0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]) / 255;
        } else {
            reflectance = m_world.sensedReflectance(spot, ReflectanceSpotRadius);
        }
        environment.analogValues[std::size_t(sensor.port)] = std::uint16_t(reflectanceReading(reflectance));
    }
    for (const auto &sensor : robot.distanceSensors) {
        // The beam's nearest return across its width; a body lower than the
        // sensor's mounting is under the beam.
        const Point from = place(sensor.offset);
        const double aim = m_pose.headingDeg + sensor.angleDeg;
        const double aims[3] = {aim, aim - 0.5 * sensor.beamDeg, aim + 0.5 * sensor.beamDeg};
        double distances[3];
        m_table->rayDistances(from, aims, sensor.beamDeg > 0 ? 3 : 1, DistanceSensorRange, sensor.height, m_robot,
                              distances);
        double distance = distances[0];
        if (sensor.beamDeg > 0)
            distance = std::min({distance, distances[1], distances[2]});
        environment.analogValues[std::size_t(sensor.port)] = std::uint16_t(distanceReading(distance));
    }
    // Switches to ground with the board's pull-up: closed reads 0.
    const std::vector<double> touching = m_table->contactBearings(m_robot);
    const auto touches = [&](double angleDeg, double halfSpread) {
        for (const double bearing : touching)
            if (std::fabs(std::remainder(bearing - angleDeg, 360.0)) <= halfSpread)
                return true;
        return false;
    };
    if (robot.bumpPort) {
        // Closed by anything the body touches on its front half.
        m_bumped = touches(0, BumpHalfAngleDeg);
        environment.digitalLevels[std::size_t(*robot.bumpPort)] = !m_bumped;
    }
    for (const RobotDescription::Touch &touch : robot.touchSwitches) {
        const bool pressed = touch.claw ? m_mechanisms->holding() : touches(touch.angleDeg, touch.spreadDeg / 2);
        environment.digitalLevels[std::size_t(touch.port)] = !pressed;
    }
}

} // namespace kxsim
