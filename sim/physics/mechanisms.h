// The robot's mechanisms on its servo ports (world.h, Mechanism), moved by
// the servos' shafts as the coprocessor's model slews them: a claw whose
// jaws grip a piece between them and stop where they touch it, an arm that
// lifts the gripped piece clear of the others, a paddle that sweeps.
#ifndef KESTRIX_SIM_MECHANISMS_H
#define KESTRIX_SIM_MECHANISMS_H

#include "model/model.h"
#include "physics/table.h"
#include "world/world.h"

#include <optional>

namespace kxsim {

class Mechanisms
{
public:
    Mechanisms(const World &world, Table &table, std::size_t robot = 0); // robot: its index on the table
    // The same parts on a copy of the table (see Table::freshCopy).
    void moveTo(Table &table) { m_table = &table; }

    // Follows the servos' shafts; run after every step of the table.
    void update(Model &model);

    struct State
    {
        double clawGap = 0;    // metres between the jaws
        int heldPiece = -1;    // the piece the claw grips, -1 for none
        double armHeight = 0;  // metres the claw is lifted
        double paddleDeg = 0;  // relative to the robot's heading
    };
    const State &state() const { return m_state; }
    bool holding() const { return m_state.heldPiece >= 0; }
    const Mechanism *claw() const { return m_claw; }
    // What another process needs to go on with the mechanisms.
    struct Saved
    {
        State state;
        double heldExtent;
    };
    Saved save() const { return {m_state, m_heldExtent}; }
    void load(const Saved &saved);
    const Mechanism *arm() const { return m_arm; }
    const Mechanism *paddle() const { return m_paddle; }

private:
    void updateClaw(Model &model, double position);
    // A piece's extent across the claw's jaws, or nothing when it is not
    // between them.
    std::optional<double> between(std::size_t piece, double gap) const;
    void shapeJaws(double gap);

    const World &m_world;
    Table *m_table;
    std::size_t m_robot;
    const Mechanism *m_claw = nullptr, *m_arm = nullptr, *m_paddle = nullptr;
    State m_state;
    double m_heldExtent = 0;
    double m_jawsShapedAt = -1, m_paddleShapedAt = 1e9;
};

// The pulse width in microseconds for a position on the 0-1023 servo scale.
double servoPulse(double position);

} // namespace kxsim

#endif
