#include "report/trace.h"

#include "model/sim_status.h"

#include <cmath>

namespace kxsim {

void writeTraceHeader(std::FILE *trace, const World *world)
{
    std::fputs("time", trace);
    for (int m = 0; m < 4; ++m)
        std::fprintf(trace, ",m%d_position,m%d_speed", m, m);
    for (int s = 0; s < 4; ++s)
        std::fprintf(trace, ",s%d_command,s%d_shaft", s, s);
    for (int n = 0; n < 16; ++n)
        std::fprintf(trace, ",d%d", n);
    for (int n = 0; n < 6; ++n)
        std::fprintf(trace, ",a%d", n);
    if (world) {
        std::fputs(",x_m,y_m,heading_deg,bump", trace);
        for (std::size_t n = 0; n < world->pieces.size(); ++n)
            std::fprintf(trace, ",piece%zu_x_m,piece%zu_y_m,piece%zu_heading_deg", n, n, n);
        for (const Mechanism &m : world->robot.mechanisms)
            std::fputs(m.kind == Mechanism::Kind::Claw  ? ",claw_gap_m,claw_piece"
                       : m.kind == Mechanism::Kind::Arm ? ",arm_height_m"
                                                        : ",paddle_deg",
                       trace);
    }
    std::fputc('\n', trace);
}

void writeTraceRow(std::FILE *trace, double seconds, const RegisterFile &registers, const Model &model,
                   const Physics *world)
{
    std::fprintf(trace, "%.3f", seconds);
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
        for (const Table::PieceState &piece : world->pieces())
            std::fprintf(trace, ",%.4f,%.4f,%.2f", piece.x, piece.y, std::remainder(piece.headingDeg, 360.0));
        const Mechanisms::State &state = world->mechanisms()->state();
        for (const Mechanism &m : world->world().robot.mechanisms) {
            if (m.kind == Mechanism::Kind::Claw)
                std::fprintf(trace, ",%.4f,%d", state.clawGap, state.heldPiece);
            else if (m.kind == Mechanism::Kind::Arm)
                std::fprintf(trace, ",%.4f", state.armHeight);
            else
                std::fprintf(trace, ",%.1f", state.paddleDeg);
        }
    }
    std::fputc('\n', trace);
    std::fflush(trace);
}

} // namespace kxsim
