// The robot in its world. With a field, the robot is a body on the table
// (table.h): each wheel's motor pushes it with the force its torque and the
// tyre's grip allow, and the shaft turns with the ground while the tyre
// grips, on its own while it slips. Pieces are pushed and slide. Without a
// field, differential-drive kinematics move the robot on an endless floor
// (the simulated mobile base, the script's spin). The sensors see the result
// (floor reflectance, distance, bump switch, gyroscope, magnetometer,
// accelerometer), written into the model's environment.
#ifndef KESTRIX_SIM_PHYSICS_H
#define KESTRIX_SIM_PHYSICS_H

#include "model/model.h"
#include "physics/mechanisms.h"
#include "physics/table.h"
#include "world/world.h"

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace kxsim {

class Physics
{
public:
    // `hasWorld` false: no field (the mobile base still moves a robot on an
    // endless floor), the coprocessor's motors drive nothing.
    // `seed` draws the world's realism (its wheels, motors, gyroscope).
    Physics(World world, bool hasWorld, std::uint64_t seed = 1);

    // The robots of a match: one physics each, on one table, robot `n` at
    // the world's n-th start. Each draws its own realism from `seed`.
    static std::vector<std::unique_ptr<Physics>> match(const World &world, std::size_t robots, std::uint64_t seed);
    // One robot of a match as the table moves it: its physics, the model of
    // its controller, the registers that model answers with, and whether its
    // program has ended (its motors then stop, and it stays where it is as
    // an obstacle).
    struct Member
    {
        Physics *physics;
        Model *model;
        RegisterFile *registers;
        bool stopped;
    };
    // Moves every robot of a match and the table together on to `nowUs`:
    // each step takes every robot's drive in the order of the robots. The
    // steps start from a table built anew from the bodies' states, unless
    // `carryOn` (this engine stepped the table last, its memory of contacts
    // is the table's): the result then depends on which program steps, as
    // the virtual clock's order of turns does, and on nothing else. Returns
    // whether the table stepped.
    static bool stepTogether(const std::vector<Member> &robots, std::int64_t nowUs, bool carryOn);
    std::size_t robotIndex() const { return m_robot; }

    // Moves the model and the robot together on to `nowUs`.
    void stepTo(Model &model, RegisterFile &registers, std::int64_t nowUs);

    // The mobile base's commanded wheel speeds, in m/s, forward positive.
    void setBaseWheels(double left, double right);
    // The script's turn on the spot, degrees a second counter-clockwise (0
    // stops it). It adds to whatever the wheels do: it is meant for programs
    // that leave the wheels alone while the script turns the robot.
    void setSpin(double degreesPerSecond);
    // The true motion since the start: metres forward (backward negative)
    // and degrees counter-clockwise.
    double travelledMetres() const { return m_travelled; }
    double turnedDegrees() const { return m_turned; }

    const World &world() const { return m_world; }
    // This robot's own description in the world.
    const RobotDescription &described() const { return m_world.robotAt(m_robot); }
    bool hasWorld() const { return m_hasWorld; }
    const Pose &pose() const { return m_pose; }
    // Puts the robot somewhere else at once (the panel's drag); the sensors
    // see the new place from the next step on.
    void setPose(const Pose &pose);
    // The pieces where they are now (empty without a field).
    std::vector<Table::PieceState> pieces() const;
    std::size_t pieceCount() const { return m_table ? m_table->pieceCount() : 0; }
    Table::PieceState piece(std::size_t n) const { return m_table->piece(n); }
    // The robot's mechanisms, null without a field.
    const Mechanisms *mechanisms() const { return m_mechanisms.get(); }
    bool bumped() const { return m_bumped; }
    // True once the mobile base or the script has been told to move.
    bool moved() const { return m_baseUsed || m_spinUsed; }
    // Poses along the way, for the plot (spacing grows on long runs).
    const std::vector<Pose> &path() const { return m_path; }
    // The pose every TimeMarkSeconds of simulated time from the start.
    static constexpr double TimeMarkSeconds = 5;
    const std::vector<Pose> &timeMarks() const { return m_timeMarks; }

    // Everything the physics remembers, as plain bytes: the processes of one
    // run (a wrapper script and the program it starts, a program and its
    // fork) keep one world in memory they share. Each process runs its own
    // engine built from the same world file, and takes this in when another
    // process has moved the world on; so there is one robot, one pose, one
    // path. The path's points are copied only as they are added.
    static constexpr std::size_t MaxPathPoints = 20000;
    static constexpr std::size_t MaxTimeMarks = 4096; // 5.7 hours of marks
    struct Snapshot
    {
        Table::BodyState robot;
        std::array<Table::BodyState, MaxPieces> pieces;
        // held: 1 + the index of the robot whose claw grips the piece, 0 for none.
        std::array<std::uint8_t, MaxPieces> held, lifted;
        Mechanisms::Saved mechanisms;
        Pose pose;
        std::uint8_t bumped, started, baseUsed, spinUsed;
        std::int64_t lastUs;
        double baseLeft, baseRight, spinDps, speed, vx, vy, travelled, turned;
        double pathSpacing, sinceRecorded, sinceMark, gyroBias, sag;
        // The generator's state is 2.5 kB; it is copied only when its draws
        // (plus one; 0 before the first save) differ, as a generator seeded
        // alike is in one state after as many draws.
        std::mt19937_64 random;
        std::uint64_t randomDraws;
        std::uint64_t pathRevision; // counts the thinnings of the path
        std::uint32_t pathCount, markCount;
        std::array<Pose, MaxPathPoints> path;
        std::array<Pose, MaxTimeMarks> marks;
    };
    // Brings `snapshot` up to this physics (zeroed memory is an empty one).
    void save(Snapshot &snapshot) const;
    void load(const Snapshot &snapshot);

private:
    struct Field;
    Physics(const World &world, std::uint64_t seed, std::shared_ptr<Field> field, std::size_t robot);
    void step(Model &model, double dt);
    void stepOnTable(Model &model, double dt);
    // A step on the table is the robot's drive, the table's step, and what
    // the robot then feels; the drive's outcome is kept in between.
    void driveOnTable(Model &model, double dt, bool stopped);
    void afterTableStep(Model &model, double dt);
    struct Drive
    {
        bool slipLeft, slipRight;
        double left, right;
    } m_drive{};
    // The most force a wheel's motor gives in the direction of `force` while
    // the wheel moves over the floor at `wheelSpeed` (m/s).
    double motorForce(double force, double wheelSpeed) const;
    void record(double dt);
    void sense(Model &model);

    World m_world;
    bool m_hasWorld;
    std::shared_ptr<Field> m_field; // with a field: the table, shared by the robots of a match
    Table *m_table = nullptr;       // the field's
    std::size_t m_robot = 0;        // this robot's index on the table
    std::unique_ptr<Mechanisms> m_mechanisms;
    Pose m_pose;
    bool m_bumped = false;
    bool m_started = false;
    std::int64_t m_lastUs = 0;
    double m_baseLeft = 0, m_baseRight = 0;
    bool m_baseUsed = false;
    double m_spinDps = 0;
    bool m_spinUsed = false;
    double m_speed = 0;                     // forward speed at the last step
    double m_vx = 0, m_vy = 0;              // the robot's velocity at the last step (m/s)
    double m_travelled = 0, m_turned = 0;
    std::vector<Pose> m_path;
    std::uint64_t m_pathRevision = 0;        // counts the thinnings of the path
    double m_pathSpacing = 0.02;             // seconds between recorded poses
    double m_sinceRecorded = 0;
    std::vector<Pose> m_timeMarks;
    double m_sinceMark = 0;

    // Realism, drawn from the seed.
    void applyRealism(Model &model, double load, double dt);
    double uniform(); // -1 to 1
    std::mt19937_64 m_random;
    std::uint64_t m_draws = 0; // taken from m_random
    double m_wheelFactor[2] = {1, 1}; // left, right: diameter over the nominal
    double m_motorFactor[4] = {1, 1, 1, 1};
    double m_gyroBias = 0;
    double m_sag = 1; // share of the battery's voltage the motors get
};

} // namespace kxsim

#endif
