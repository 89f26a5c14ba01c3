// The bodies of a world in a rigid-body engine, seen from above: the field's
// walls, boxes and objects fixed to the floor, the robot's body, and the
// game pieces that slide on the floor's friction until they stop. The robot
// is driven by forces at its two wheels (see Physics); everything else moves
// only when something pushes it.
//
// Lengths are metres, angles degrees counter-clockwise from the field's +x
// axis, masses kilograms, forces newtons, as everywhere in the world.
#ifndef KESTRIX_SIM_TABLE_H
#define KESTRIX_SIM_TABLE_H

#include "world/world.h"

#include <memory>
#include <optional>
#include <vector>

namespace kxsim {

class Table
{
public:
    // `robots` bodies, each robot's as the world describes it, at its start.
    explicit Table(const World &world, std::size_t robots = 1);
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    // The robot's motion in the field's frame.
    struct Motion
    {
        double x = 0, y = 0, headingDeg = 0;
        double vx = 0, vy = 0;   // m/s
        double turnDps = 0;      // degrees a second, counter-clockwise
    };
    // Every call about a robot names it by its index (0: the first).
    Motion robot(std::size_t robot = 0) const;
    void placeRobot(const Pose &pose, std::size_t robot = 0);
    // Forces on the robot for the next step: `forward` newtons along its
    // heading at its centre and `turn` newton-metres about it; the floor's
    // grip across the wheels is the table's own (the robot never slides
    // sideways unless it is pushed harder than its tyres hold).
    void driveRobot(double forward, double turn, std::size_t robot = 0);
    double robotMass(std::size_t robot = 0) const;
    double robotInertia(std::size_t robot = 0) const; // kg m^2 about the centre

    // Moves every body on by `seconds`.
    void step(double seconds);

    struct PieceState
    {
        double x = 0, y = 0, headingDeg = 0;
        bool held = false;
    };
    std::size_t pieceCount() const;
    PieceState piece(std::size_t n) const;

    // Replaces the fixtures of one part of the robot (a claw's jaws, a
    // paddle) with these outlines, each a convex polygon in the robot's frame
    // (x forward, y left of its centre). The parts weigh nothing and push
    // like the body; the switches and sensors do not count them.
    void shapeRobotPart(int part, const std::vector<std::vector<Point>> &outlines, std::size_t robot = 0);
    // Where a point in the field lies in the robot's frame.
    Point inRobotFrame(Point p, std::size_t robot = 0) const;

    // Where a body is and how it moves, in the engine's own terms, for a
    // process that takes the world over from another (see Physics::Snapshot).
    struct BodyState
    {
        double x, y, angle, vx, vy, turn;
    };
    BodyState robotState(std::size_t robot = 0) const;
    void setRobotState(const BodyState &state, std::size_t robot = 0);
    BodyState pieceState(std::size_t n) const;
    void setPieceState(std::size_t n, const BodyState &state);
    bool lifted(std::size_t n) const;
    // The robot whose claw holds piece `n`, -1 for none.
    int holder(std::size_t n) const;

    // The same bodies in the same states, parts and grips in a table of its
    // own: none of the engine's memory of earlier steps (contacts, their
    // impulses, the order it met them in) comes along, so what it does next
    // depends on the states alone, whichever process's copy it was.
    std::unique_ptr<Table> freshCopy() const;

    // A piece rides with the robot (gripped by a claw) or lies free again;
    // held by another robot, it changes hands.
    void hold(std::size_t n, bool held, std::size_t robot = 0);
    // A held piece lifted clear of the others passes over them.
    void lift(std::size_t n, bool lifted);

    // The robot touches something: the bearing of every touching point,
    // degrees relative to the robot's heading.
    std::vector<double> contactBearings(std::size_t robot = 0) const;
    // Distance along the ray from `from` at `angleDeg` to the first body other
    // than robot `robot` that stands at least `minHeight` tall, at most
    // `limit`; the other robots are in the way.
    double rayDistance(Point from, double angleDeg, double limit, double minHeight, std::size_t robot = 0) const;
    // The same for `count` rays from one point (a beam's), into `distances`:
    // one look-up of the bodies near them all.
    void rayDistances(Point from, const double *anglesDeg, std::size_t count, double limit, double minHeight,
                      std::size_t robot, double *distances) const;
    // The free piece that covers `p`, if any (the highest of several).
    std::optional<std::size_t> pieceAt(Point p) const;

    struct Tag;

private:
    struct Bodies;
    std::unique_ptr<Bodies> m_bodies;
    const World &m_world;
};

} // namespace kxsim

#endif
