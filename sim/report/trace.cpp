#include "report/trace.h"

#include "model/sim_status.h"

#include <cmath>
#include <string>

namespace kxsim {

namespace {

// The controller's columns and, with a world, the robot's; `p` prefixes
// each name (a robot of a match), or is empty.
void robotHeader(std::FILE *trace, const World *world, const char *p)
{
    for (int m = 0; m < 4; ++m)
        std::fprintf(trace, ",%sm%d_position,%sm%d_speed", p, m, p, m);
    for (int s = 0; s < 4; ++s)
        std::fprintf(trace, ",%ss%d_command,%ss%d_shaft", p, s, p, s);
    for (int n = 0; n < 16; ++n)
        std::fprintf(trace, ",%sd%d", p, n);
    for (int n = 0; n < 6; ++n)
        std::fprintf(trace, ",%sa%d", p, n);
    if (world)
        std::fprintf(trace, ",%sx_m,%sy_m,%sheading_deg,%sbump", p, p, p, p);
}

void piecesHeader(std::FILE *trace, const World &world)
{
    for (std::size_t n = 0; n < world.pieces.size(); ++n)
        std::fprintf(trace, ",piece%zu_x_m,piece%zu_y_m,piece%zu_heading_deg", n, n, n);
}

void mechanismsHeader(std::FILE *trace, const RobotDescription &robot, const char *p)
{
    for (const Mechanism &m : robot.mechanisms) {
        if (m.kind == Mechanism::Kind::Claw)
            std::fprintf(trace, ",%sclaw_gap_m,%sclaw_piece", p, p);
        else if (m.kind == Mechanism::Kind::Arm)
            std::fprintf(trace, ",%sarm_height_m", p);
        else
            std::fprintf(trace, ",%spaddle_deg", p);
    }
}

void robotRow(std::FILE *trace, const RegisterFile &registers, const Model &model, const Physics *world)
{
    for (int m = 0; m < 4; ++m)
        std::fprintf(trace, ",%d,%.1f", std::int32_t(registers.get32(reg::Counter0 + 4 * std::size_t(m))),
                     model.motor(m).speed);
    for (int s = 0; s < 4; ++s)
        std::fprintf(trace, ",%.1f,%.1f", servoPosition(registers.get16(reg::Pulse0 + 2 * std::size_t(s))),
                     servoPosition(model.servo(s).shaftUs));
    const std::uint16_t levels = registers.get16(reg::DigitalIn);
    for (int n = 0; n < 16; ++n)
        std::fprintf(trace, ",%d", (levels >> n) & 1);
    for (int n = 0; n < 6; ++n)
        std::fprintf(trace, ",%u", unsigned(registers.get16(reg::Analog0 + 2 * std::size_t(n))));
    if (world) {
        const Pose &pose = world->pose();
        std::fprintf(trace, ",%.4f,%.4f,%.2f,%d", pose.x, pose.y, pose.headingDeg, world->bumped() ? 1 : 0);
    }
}

void piecesRow(std::FILE *trace, const Physics &world)
{
    for (const Table::PieceState &piece : world.pieces())
        std::fprintf(trace, ",%.4f,%.4f,%.2f", piece.x, piece.y, std::remainder(piece.headingDeg, 360.0));
}

void mechanismsRow(std::FILE *trace, const Physics &world)
{
    const Mechanisms::State &state = world.mechanisms()->state();
    for (const Mechanism &m : world.described().mechanisms) {
        if (m.kind == Mechanism::Kind::Claw)
            std::fprintf(trace, ",%.4f,%d", state.clawGap, state.heldPiece);
        else if (m.kind == Mechanism::Kind::Arm)
            std::fprintf(trace, ",%.4f", state.armHeight);
        else
            std::fprintf(trace, ",%.1f", state.paddleDeg);
    }
}

std::string prefix(std::size_t robot)
{
    return "r" + std::to_string(robot + 1) + "_";
}

} // namespace

void writeTraceHeader(std::FILE *trace, const World *world)
{
    std::fputs("time", trace);
    robotHeader(trace, world, "");
    if (world) {
        piecesHeader(trace, *world);
        mechanismsHeader(trace, world->robotAt(0), "");
    }
    std::fputc('\n', trace);
}

void writeTraceRow(std::FILE *trace, double seconds, const RegisterFile &registers, const Model &model,
                   const Physics *world)
{
    std::fprintf(trace, "%.3f", seconds);
    robotRow(trace, registers, model, world);
    if (world) {
        piecesRow(trace, *world);
        mechanismsRow(trace, *world);
    }
    std::fputc('\n', trace);
    std::fflush(trace);
}

void writeMatchTraceHeader(std::FILE *trace, const World *world, std::size_t robots)
{
    std::fputs("time", trace);
    for (std::size_t r = 0; r < robots; ++r) {
        robotHeader(trace, world, prefix(r).c_str());
        if (world)
            mechanismsHeader(trace, world->robotAt(r), prefix(r).c_str());
    }
    if (world)
        piecesHeader(trace, *world);
    std::fputc('\n', trace);
}

void writeMatchTraceRow(std::FILE *trace, double seconds, const std::vector<TraceRobot> &robots, bool world)
{
    std::fprintf(trace, "%.3f", seconds);
    for (const TraceRobot &robot : robots) {
        robotRow(trace, *robot.registers, *robot.model, world ? robot.physics : nullptr);
        if (world)
            mechanismsRow(trace, *robot.physics);
    }
    if (world && !robots.empty())
        piecesRow(trace, *robots.front().physics);
    std::fputc('\n', trace);
    std::fflush(trace);
}

} // namespace kxsim
