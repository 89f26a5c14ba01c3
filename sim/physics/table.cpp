#include "physics/table.h"

#include "model/angles.h"

#include <box2d/box2d.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>

namespace kxsim {

namespace {

// The engine works in decimetres: its contact tolerance (half a millimetre
// then) suits pieces of a few centimetres. Masses stay kilograms, so a force
// in the engine is ten times the force in newtons and a torque a hundred.
constexpr double Scale = 10;
constexpr double Gravity = 9.81;
// A piece turning on the floor: its friction acts on average at about this
// share of its size from its centre.
constexpr double TurningArm = 0.4;
constexpr int VelocityIterations = 8, PositionIterations = 3;

b2Vec2 toEngine(Point p)
{
    return {float(p.x * Scale), float(p.y * Scale)};
}

Point fromEngine(const b2Vec2 &v)
{
    return {double(v.x) / Scale, double(v.y) / Scale};
}

// Collision groups: a lifted piece passes over the free pieces and over the
// fixed low objects, but not through walls.
constexpr std::uint16_t WallBits = 1, BodyBits = 2, LiftedBits = 4;

} // namespace

// What a fixture is, for the sensors and the contacts.
struct Table::Tag
{
    enum class Kind { Obstacle, Robot, RobotPart, Piece } kind;
    double height;
    std::size_t piece;
};
using Kind = Table::Tag::Kind;
using Tag = Table::Tag;

struct Table::Bodies
{
    b2World world{b2Vec2(0, 0)};
    b2Body *ground = nullptr;
    std::vector<b2Body *> robots;         // in the order of the robots
    std::vector<b2Body *> pieces;
    std::vector<b2Joint *> floorFriction; // one per piece
    std::vector<b2Joint *> grips;         // a held piece's weld to the robot, or null
    std::vector<bool> lifted;
    std::vector<Tag> tags;                // one per fixture, kept where the fixtures point
    Tag partTag{Kind::RobotPart, 0, 0};
    std::map<std::pair<std::size_t, int>, std::vector<b2Fixture *>> parts; // by robot and part
    std::vector<double> robotMasses; // in the order of the robots
    std::vector<b2Fixture *> nearRays;  // rayDistances's, kept for its room

    Tag *tag(Kind kind, double height, std::size_t piece = 0)
    {
        tags.push_back({kind, height, piece});
        return &tags.back();
    }

    // The engine's world holds its 100 kB stack within it, and a match
    // builds a fresh table at every step of time (Physics::stepTogether):
    // the memory of the last two tables gone is kept for the next, so that
    // the C library does not hand it back to the system and fault it in
    // again each time. Where the memory lies changes nothing the engine does.
    static void *operator new(std::size_t size)
    {
        if (size == sizeof(Bodies))
            for (std::atomic<void *> &slot : s_spare)
                if (void *kept = slot.exchange(nullptr))
                    return kept;
        return ::operator new(size);
    }
    static void operator delete(void *memory, std::size_t size)
    {
        if (size == sizeof(Bodies))
            for (std::atomic<void *> &slot : s_spare) {
                void *empty = nullptr;
                if (slot.compare_exchange_strong(empty, memory))
                    return;
            }
        ::operator delete(memory);
    }
    static std::atomic<void *> s_spare[2];
};

std::atomic<void *> Table::Bodies::s_spare[2] = {};

Table::Table(const World &world, std::size_t robots) : m_bodies(std::make_unique<Bodies>()), m_world(world)
{
    Bodies &b = *m_bodies;
    // Every fixture's tag lives in one vector that must not move.
    b.tags.reserve(world.walls.size() + world.boxes.size() + world.objects.size() + world.pieces.size() + robots);
    b2BodyDef groundDef;
    b.ground = b.world.CreateBody(&groundDef);
    auto fixed = [&](const b2Shape &shape, double height) {
        b2FixtureDef def;
        def.shape = &shape;
        def.friction = 0.3f;
        def.filter.categoryBits = WallBits;
        def.userData.pointer = reinterpret_cast<std::uintptr_t>(b.tag(Kind::Obstacle, height));
        b.ground->CreateFixture(&def);
    };
    for (const Segment &wall : world.walls) {
        b2EdgeShape edge;
        edge.SetTwoSided(toEngine(wall.a), toEngine(wall.b));
        fixed(edge, std::numeric_limits<double>::infinity());
    }
    auto box = [&](const Rect &r, double height) {
        b2PolygonShape shape;
        const Point centre{(r.x0 + r.x1) / 2, (r.y0 + r.y1) / 2};
        shape.SetAsBox(float((r.x1 - r.x0) / 2 * Scale), float((r.y1 - r.y0) / 2 * Scale), toEngine(centre), 0);
        fixed(shape, height);
    };
    for (const Rect &r : world.boxes)
        box(r, std::numeric_limits<double>::infinity());
    for (const ColouredObject &object : world.objects)
        box(object.box, object.height);

    for (std::size_t r = 0; r < robots; ++r) {
        const RobotDescription &described = world.robotAt(r);
        // A robot without a start of its own (a world of one robot read for
        // more) waits in the first one's: the launcher refuses that run.
        const Pose &start = r < described.starts.size() ? described.starts[r] : described.start;
        b2BodyDef robotDef;
        robotDef.type = b2_dynamicBody;
        robotDef.position = toEngine({start.x, start.y});
        robotDef.angle = float(start.headingDeg * Pi / 180);
        robotDef.bullet = true;
        b2Body *robot = b.world.CreateBody(&robotDef);
        b2CircleShape disc;
        disc.m_radius = float(described.radius * Scale);
        b2FixtureDef body;
        body.shape = &disc;
        body.density = float(described.mass / (Pi * described.radius * described.radius * Scale * Scale));
        body.friction = 0.3f;
        body.filter.categoryBits = BodyBits;
        body.filter.maskBits = WallBits | BodyBits;
        // Another robot stands in every sensor's beam.
        body.userData.pointer = reinterpret_cast<std::uintptr_t>(b.tag(Kind::Robot, RobotBodyHeight, r));
        robot->CreateFixture(&body);
        b.robotMasses.push_back(double(robot->GetMass()));
        b.robots.push_back(robot);
    }

    for (std::size_t n = 0; n < world.pieces.size(); ++n) {
        const Piece &piece = world.pieces[n];
        b2BodyDef def;
        def.type = b2_dynamicBody;
        def.position = toEngine({piece.start.x, piece.start.y});
        def.angle = float(piece.start.headingDeg * Pi / 180);
        b2Body *bodyOf = b.world.CreateBody(&def);
        b2PolygonShape square;
        b2CircleShape round;
        b2FixtureDef fixture;
        double area, size;
        if (piece.shape == Piece::Shape::Box) {
            square.SetAsBox(float(piece.length / 2 * Scale), float(piece.width / 2 * Scale));
            fixture.shape = &square;
            area = piece.length * piece.width;
            size = std::hypot(piece.length, piece.width) / 2;
        } else {
            round.m_radius = float(piece.radius * Scale);
            fixture.shape = &round;
            area = Pi * piece.radius * piece.radius;
            size = piece.radius;
        }
        fixture.density = float(piece.mass / (area * Scale * Scale));
        fixture.friction = 0.4f;
        fixture.filter.categoryBits = BodyBits;
        fixture.filter.maskBits = WallBits | BodyBits;
        fixture.userData.pointer = reinterpret_cast<std::uintptr_t>(b.tag(Kind::Piece, piece.height, n));
        bodyOf->CreateFixture(&fixture);
        // The floor holds the piece back with its friction, in sliding and in
        // turning alike.
        b2FrictionJointDef friction;
        friction.Initialize(b.ground, bodyOf, bodyOf->GetWorldCenter());
        const double weight = piece.friction * piece.mass * Gravity;
        friction.maxForce = float(weight * Scale);
        friction.maxTorque = float(weight * TurningArm * size * Scale * Scale);
        b.floorFriction.push_back(b.world.CreateJoint(&friction));
        b.pieces.push_back(bodyOf);
    }
    b.grips.assign(world.pieces.size(), nullptr);
    b.lifted.assign(world.pieces.size(), false);
}

Table::~Table() = default;

Table::Motion Table::robot(std::size_t robot) const
{
    const b2Body &body = *m_bodies->robots.at(robot);
    const Point at = fromEngine(body.GetPosition());
    const Point v = fromEngine(body.GetLinearVelocity());
    Motion motion;
    motion.x = at.x;
    motion.y = at.y;
    motion.headingDeg = double(body.GetAngle()) * 180 / Pi;
    motion.vx = v.x;
    motion.vy = v.y;
    motion.turnDps = double(body.GetAngularVelocity()) * 180 / Pi;
    return motion;
}

void Table::placeRobot(const Pose &pose, std::size_t robot)
{
    b2Body &body = *m_bodies->robots.at(robot);
    body.SetTransform(toEngine({pose.x, pose.y}), float(pose.headingDeg * Pi / 180));
    body.SetLinearVelocity({0, 0});
    body.SetAngularVelocity(0);
}

double Table::robotMass(std::size_t robot) const
{
    return m_bodies->robotMasses.at(robot);
}

double Table::robotInertia(std::size_t robot) const
{
    return double(m_bodies->robots.at(robot)->GetInertia()) / (Scale * Scale);
}

void Table::driveRobot(double forward, double turn, std::size_t robot)
{
    b2Body &body = *m_bodies->robots.at(robot);
    const double angle = double(body.GetAngle());
    const b2Vec2 along(float(std::cos(angle)), float(std::sin(angle)));
    body.ApplyForceToCenter(float(forward * Scale) * along, true);
    body.ApplyTorque(float(turn * Scale * Scale), true);
}

void Table::step(double seconds)
{
    Bodies &b = *m_bodies;
    // The tyres hold each robot against sliding sideways, up to their grip.
    for (std::size_t r = 0; r < b.robots.size(); ++r) {
        b2Body *robot = b.robots[r];
        const double angle = double(robot->GetAngle());
        const b2Vec2 across(float(-std::sin(angle)), float(std::cos(angle)));
        const double sideways = double(b2Dot(robot->GetLinearVelocity(), across)) / Scale;
        const double mass = b.robotMasses[r];
        const double grip = m_world.robotAt(r).tyreFriction * mass * Gravity;
        const double hold = std::clamp(-mass * sideways / seconds, -grip, grip);
        robot->ApplyForceToCenter(float(hold * Scale) * across, true);
    }
    b.world.Step(float(seconds), VelocityIterations, PositionIterations);
}

std::size_t Table::pieceCount() const
{
    return m_bodies->pieces.size();
}

Table::PieceState Table::piece(std::size_t n) const
{
    const b2Body &body = *m_bodies->pieces.at(n);
    const Point at = fromEngine(body.GetPosition());
    return {at.x, at.y, double(body.GetAngle()) * 180 / Pi, m_bodies->grips[n] != nullptr};
}

namespace {

Table::BodyState stateOf(const b2Body &body)
{
    const b2Vec2 &p = body.GetPosition(), &v = body.GetLinearVelocity();
    return {double(p.x), double(p.y), double(body.GetAngle()), double(v.x), double(v.y),
            double(body.GetAngularVelocity())};
}

void setState(b2Body &body, const Table::BodyState &state)
{
    // A state this engine has already (a program of a match takes every
    // body's state in at each turn, most of them as it left them) is left
    // alone: setting it would still move the body's proxies and wake it.
    const Table::BodyState now = stateOf(body);
    if (now.x == state.x && now.y == state.y && now.angle == state.angle && now.vx == state.vx && now.vy == state.vy
        && now.turn == state.turn)
        return;
    body.SetTransform(b2Vec2(float(state.x), float(state.y)), float(state.angle));
    body.SetLinearVelocity(b2Vec2(float(state.vx), float(state.vy)));
    body.SetAngularVelocity(float(state.turn));
}

} // namespace

Table::BodyState Table::robotState(std::size_t robot) const
{
    return stateOf(*m_bodies->robots.at(robot));
}

void Table::setRobotState(const BodyState &state, std::size_t robot)
{
    setState(*m_bodies->robots.at(robot), state);
}

Table::BodyState Table::pieceState(std::size_t n) const
{
    return stateOf(*m_bodies->pieces.at(n));
}

void Table::setPieceState(std::size_t n, const BodyState &state)
{
    setState(*m_bodies->pieces.at(n), state);
}

bool Table::lifted(std::size_t n) const
{
    return m_bodies->lifted.at(n);
}

int Table::holder(std::size_t n) const
{
    b2Joint *grip = m_bodies->grips.at(n);
    if (!grip)
        return -1;
    const auto robot = std::find(m_bodies->robots.begin(), m_bodies->robots.end(), grip->GetBodyA());
    return int(robot - m_bodies->robots.begin());
}

void Table::hold(std::size_t n, bool held, std::size_t robot)
{
    Bodies &b = *m_bodies;
    b2Joint *&grip = b.grips.at(n);
    if (grip && held && grip->GetBodyA() != b.robots.at(robot)) {
        b.world.DestroyJoint(grip);
        grip = nullptr;
    }
    if (held == (grip != nullptr))
        return;
    if (!held) {
        b.world.DestroyJoint(grip);
        grip = nullptr;
        lift(n, false);
        return;
    }
    b2WeldJointDef weld;
    weld.Initialize(b.robots.at(robot), b.pieces[n], b.pieces[n]->GetWorldCenter());
    grip = b.world.CreateJoint(&weld);
}

void Table::lift(std::size_t n, bool lifted)
{
    Bodies &b = *m_bodies;
    if (b.lifted.at(n) == lifted)
        return;
    b.lifted[n] = lifted;
    for (b2Fixture *f = b.pieces[n]->GetFixtureList(); f; f = f->GetNext()) {
        b2Filter filter = f->GetFilterData();
        filter.categoryBits = lifted ? LiftedBits : BodyBits;
        filter.maskBits = lifted ? WallBits : WallBits | BodyBits;
        f->SetFilterData(filter);
    }
    // A piece in the air does not drag on the floor.
    static_cast<b2FrictionJoint *>(b.floorFriction[n])->SetMaxForce(lifted ? 0.0f : float(
        m_world.pieces[n].friction * m_world.pieces[n].mass * Gravity * Scale));
}

void Table::shapeRobotPart(int part, const std::vector<std::vector<Point>> &outlines, std::size_t robot)
{
    Bodies &b = *m_bodies;
    std::vector<b2Fixture *> &fixtures = b.parts[{robot, part}];
    for (b2Fixture *f : fixtures)
        b.robots.at(robot)->DestroyFixture(f);
    fixtures.clear();
    for (const std::vector<Point> &outline : outlines) {
        std::vector<b2Vec2> corners;
        for (const Point &p : outline)
            corners.push_back(toEngine(p));
        if (corners.size() < 3 || corners.size() > b2_maxPolygonVertices)
            continue;
        b2PolygonShape shape;
        shape.Set(corners.data(), int(corners.size()));
        b2FixtureDef def;
        def.shape = &shape;
        def.density = 0;
        def.friction = 0.4f;
        def.filter.categoryBits = BodyBits;
        def.filter.maskBits = WallBits | BodyBits;
        def.userData.pointer = reinterpret_cast<std::uintptr_t>(&b.partTag);
        fixtures.push_back(b.robots.at(robot)->CreateFixture(&def));
    }
}

std::unique_ptr<Table> Table::freshCopy() const
{
    const Bodies &from = *m_bodies;
    auto copy = std::make_unique<Table>(m_world, from.robots.size());
    for (std::size_t r = 0; r < from.robots.size(); ++r)
        copy->setRobotState(robotState(r), r);
    for (std::size_t n = 0; n < from.pieces.size(); ++n) {
        copy->setPieceState(n, pieceState(n));
        if (const int robot = holder(n); robot >= 0)
            copy->hold(n, true, std::size_t(robot));
        copy->lift(n, from.lifted[n]);
    }
    for (const auto &[key, fixtures] : from.parts) {
        std::vector<std::vector<Point>> outlines;
        for (const b2Fixture *f : fixtures) {
            const auto &shape = *static_cast<const b2PolygonShape *>(f->GetShape());
            std::vector<Point> outline;
            for (int k = 0; k < shape.m_count; ++k)
                outline.push_back(fromEngine(shape.m_vertices[k]));
            outlines.push_back(outline);
        }
        copy->shapeRobotPart(key.second, outlines, key.first);
    }
    return copy;
}

Point Table::inRobotFrame(Point p, std::size_t robot) const
{
    return fromEngine(m_bodies->robots.at(robot)->GetLocalPoint(toEngine(p)));
}

std::vector<double> Table::contactBearings(std::size_t robot) const
{
    std::vector<double> bearings;
    const b2Body &body = *m_bodies->robots.at(robot);
    for (const b2ContactEdge *edge = body.GetContactList(); edge; edge = edge->next) {
        b2Contact &contact = *edge->contact;
        if (!contact.IsTouching() || !contact.IsEnabled())
            continue;
        // The body's own disc; its mechanisms' parts carry no switches.
        b2Fixture *own = contact.GetFixtureA()->GetBody() == &body ? contact.GetFixtureA() : contact.GetFixtureB();
        if (reinterpret_cast<const Tag *>(own->GetUserData().pointer)->kind != Kind::Robot)
            continue;
        b2WorldManifold manifold;
        contact.GetWorldManifold(&manifold);
        for (int k = 0; k < contact.GetManifold()->pointCount; ++k) {
            const b2Vec2 d = manifold.points[k] - body.GetPosition();
            double bearing = (std::atan2(double(d.y), double(d.x)) - double(body.GetAngle())) * 180 / Pi;
            bearing = std::remainder(bearing, 360.0);
            bearings.push_back(bearing);
        }
    }
    return bearings;
}

double Table::rayDistance(Point from, double angleDeg, double limit, double minHeight, std::size_t robot) const
{
    double distance;
    rayDistances(from, &angleDeg, 1, limit, minHeight, robot, &distance);
    return distance;
}

void Table::rayDistances(Point from, const double *anglesDeg, std::size_t count, double limit, double minHeight,
                         std::size_t robot, double *distances) const
{
    // Every fixture whose box meets the rays' box, but those a beam does not
    // see: what carries no tag, the robot itself and its mechanisms' parts,
    // what is lower than the sensor, and a piece held up in the claw. Each
    // ray meets the nearest of them as the engine's own ray cast finds it.
    struct Near : b2QueryCallback
    {
        double minHeight;
        std::size_t self;
        std::vector<b2Fixture *> &fixtures;
        Near(double height, std::size_t robot, std::vector<b2Fixture *> &found)
            : minHeight(height), self(robot), fixtures(found)
        {
            fixtures.clear();
        }
        bool ReportFixture(b2Fixture *fixture) override
        {
            const Tag *tag = reinterpret_cast<const Tag *>(fixture->GetUserData().pointer);
            if (!tag || (tag->kind == Kind::Robot && tag->piece == self) || tag->kind == Kind::RobotPart
                || tag->height < minHeight || (fixture->GetFilterData().categoryBits & LiftedBits) != 0)
                return true;
            if (std::find(fixtures.begin(), fixtures.end(), fixture) == fixtures.end())
                fixtures.push_back(fixture); // a chain's fixture comes once a link
            return true;
        }
    } near(minHeight, robot, m_bodies->nearRays);
    constexpr std::size_t Most = 8;
    b2Vec2 ends[Most];
    const b2Vec2 start = toEngine(from);
    b2AABB box;
    box.lowerBound = box.upperBound = start;
    count = std::min(count, Most);
    for (std::size_t i = 0; i < count; ++i) {
        const double a = anglesDeg[i] * Pi / 180;
        ends[i] = toEngine({from.x + limit * std::cos(a), from.y + limit * std::sin(a)});
        box.lowerBound = b2Min(box.lowerBound, ends[i]);
        box.upperBound = b2Max(box.upperBound, ends[i]);
    }
    m_bodies->world.QueryAABB(&near, box);
    for (std::size_t i = 0; i < count; ++i) {
        b2RayCastInput input;
        input.p1 = start;
        input.p2 = ends[i];
        input.maxFraction = 1;
        for (b2Fixture *fixture : near.fixtures)
            for (int child = 0, children = fixture->GetShape()->GetChildCount(); child < children; ++child) {
                b2RayCastOutput output;
                if (fixture->RayCast(&output, input, child) && output.fraction < input.maxFraction)
                    input.maxFraction = output.fraction;
            }
        distances[i] = double(input.maxFraction) * limit;
    }
}

std::optional<std::size_t> Table::pieceAt(Point p) const
{
    std::optional<std::size_t> found;
    double highest = -1;
    const b2Vec2 at = toEngine(p);
    for (std::size_t n = 0; n < m_bodies->pieces.size(); ++n) {
        if (m_bodies->lifted[n])
            continue;
        for (const b2Fixture *f = m_bodies->pieces[n]->GetFixtureList(); f; f = f->GetNext())
            if (f->TestPoint(at) && m_world.pieces[n].height > highest) {
                found = n;
                highest = m_world.pieces[n].height;
            }
    }
    return found;
}

} // namespace kxsim
