#include "physics/mechanisms.h"

#include "model/angles.h"
#include "model/sim_status.h"

#include <algorithm>
#include <cmath>

namespace kxsim {

namespace {

constexpr double JawThickness = 0.008;
constexpr double PaddleThickness = 0.01;
// A gripped piece lifted this far clears the free pieces and low objects.
constexpr double LiftClearance = 0.02;
// The jaws let a piece go once they open this much wider than it.
constexpr double ReleaseMargin = 0.002;
// Moves smaller than these do not reshape the robot's parts.
constexpr double JawStep = 0.0005, PaddleStepDeg = 0.5;

// Where `position` lies from `from` (0) to `to` (1), held to that range.
double share(double position, double from, double to)
{
    return std::clamp((position - from) / (to - from), 0.0, 1.0);
}

std::vector<Point> box(double x0, double y0, double x1, double y1)
{
    return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

} // namespace

double servoPulse(double position)
{
    return 1500.0 + (position * 180.0 / 1023.0 - 90.0) * 10.0;
}

Mechanisms::Mechanisms(const World &world, Table &table, std::size_t robot)
    : m_world(world), m_table(&table), m_robot(robot)
{
    for (const Mechanism &m : world.robotAt(robot).mechanisms) {
        switch (m.kind) {
        case Mechanism::Kind::Claw: m_claw = &m; break;
        case Mechanism::Kind::Arm: m_arm = &m; break;
        case Mechanism::Kind::Paddle: m_paddle = &m; break;
        }
    }
}

void Mechanisms::load(const Saved &saved)
{
    m_state = saved.state;
    m_heldExtent = saved.heldExtent;
    // The parts take the loaded shape at the next update.
    m_jawsShapedAt = -1;
    m_paddleShapedAt = 1e9;
}

void Mechanisms::update(Model &model)
{
    const auto position = [&](const Mechanism &m) { return servoPosition(model.servo(m.servo).shaftUs); };
    if (m_claw)
        updateClaw(model, position(*m_claw));
    if (m_arm) {
        m_state.armHeight = m_arm->lift * share(position(*m_arm), m_arm->downPosition, m_arm->upPosition);
        if (holding())
            m_table->lift(std::size_t(m_state.heldPiece), m_state.armHeight >= LiftClearance);
    }
    if (m_paddle) {
        const double angle = m_paddle->fromDeg + position(*m_paddle) / 1023.0 * (m_paddle->toDeg - m_paddle->fromDeg);
        m_state.paddleDeg = angle;
        if (std::fabs(angle - m_paddleShapedAt) >= PaddleStepDeg) {
            m_paddleShapedAt = angle;
            const double a = angle * Pi / 180, c = std::cos(a), s = std::sin(a);
            const double half = PaddleThickness / 2;
            const Point p = m_paddle->at;
            const double l = m_paddle->length;
            m_table->shapeRobotPart(2, {{{p.x - half * s, p.y + half * c},
                                        {p.x + half * s, p.y - half * c},
                                        {p.x + l * c + half * s, p.y + l * s - half * c},
                                        {p.x + l * c - half * s, p.y + l * s + half * c}}},
                                   m_robot);
        }
    }
}

std::optional<double> Mechanisms::between(std::size_t n, double gap) const
{
    const Table::PieceState state = m_table->piece(n);
    const Point at = m_table->inRobotFrame({state.x, state.y}, m_robot);
    const Mechanism &claw = *m_claw;
    if (at.x < claw.at.x || at.x > claw.at.x + claw.depth || std::fabs(at.y - claw.at.y) > gap / 2)
        return std::nullopt;
    const Piece &piece = m_world.pieces[n];
    if (piece.shape == Piece::Shape::Disc)
        return 2 * piece.radius;
    const double turned = (state.headingDeg - m_table->robot(m_robot).headingDeg) * Pi / 180;
    return std::fabs(piece.length * std::sin(turned)) + std::fabs(piece.width * std::cos(turned));
}

void Mechanisms::updateClaw(Model &model, double position)
{
    const Mechanism &claw = *m_claw;
    double gap = claw.openWidth
               + share(position, claw.openPosition, claw.closedPosition) * (claw.closedWidth - claw.openWidth);
    if (holding()) {
        if (gap > m_heldExtent + ReleaseMargin) {
            // Opened: the piece lies free where it is.
            m_table->hold(std::size_t(m_state.heldPiece), false, m_robot);
            m_state.heldPiece = -1;
            model.setServoStops(claw.servo, constants::ServoMinPulseUs, constants::ServoMaxPulseUs);
        } else {
            gap = m_heldExtent;
        }
    }
    if (!holding()) {
        const double opening = m_state.clawGap > 0 ? m_state.clawGap : gap;
        // A piece whose centre is further from the robot's than the jaws'
        // far corners, and a millimetre, is not between them.
        const double reach = std::hypot(std::max(std::fabs(claw.at.x), std::fabs(claw.at.x + claw.depth)),
                                        std::fabs(claw.at.y) + opening / 2) + 1e-3;
        const Table::Motion robot = m_table->robot(m_robot);
        for (std::size_t n = 0; n < m_table->pieceCount(); ++n) {
            if (m_table->holder(n) >= 0)
                continue; // in another robot's claw
            const Table::PieceState piece = m_table->piece(n);
            if ((piece.x - robot.x) * (piece.x - robot.x) + (piece.y - robot.y) * (piece.y - robot.y) > reach * reach)
                continue;
            const std::optional<double> extent = between(n, opening);
            if (!extent || gap > *extent)
                continue;
            // The jaws close on it: they stop where they touch it, and so
            // does the servo's shaft.
            m_table->hold(n, true, m_robot);
            m_state.heldPiece = int(n);
            m_heldExtent = *extent;
            gap = *extent;
            const double touching = servoPulse(claw.openPosition + (gap - claw.openWidth) / (claw.closedWidth - claw.openWidth)
                                                                   * (claw.closedPosition - claw.openPosition));
            if (claw.closedPosition < claw.openPosition)
                model.setServoStops(claw.servo, touching, constants::ServoMaxPulseUs);
            else
                model.setServoStops(claw.servo, constants::ServoMinPulseUs, touching);
            break;
        }
    }
    m_state.clawGap = gap;
    shapeJaws(gap);
}

void Mechanisms::shapeJaws(double gap)
{
    if (std::fabs(gap - m_jawsShapedAt) < JawStep)
        return;
    m_jawsShapedAt = gap;
    const Mechanism &claw = *m_claw;
    const double x0 = claw.at.x, x1 = claw.at.x + claw.depth, y = claw.at.y;
    m_table->shapeRobotPart(1, {box(x0, y + gap / 2, x1, y + gap / 2 + JawThickness),
                               box(x0, y - gap / 2 - JawThickness, x1, y - gap / 2)},
                           m_robot);
}

} // namespace kxsim
