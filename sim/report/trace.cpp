#include "report/trace.h"

#include "model/sim_status.h"

namespace kxsim {

void writeTraceHeader(std::FILE *trace, bool withWorld)
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
    if (withWorld)
        std::fputs(",x_m,y_m,heading_deg,bump", trace);
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
    }
    std::fputc('\n', trace);
    std::fflush(trace);
}

} // namespace kxsim
