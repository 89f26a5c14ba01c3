// The trace of a run: one CSV row every 0.1 s of simulated time with every
// motor, servo, digital and analog port, and the robot's pose when the run
// has a world, with every piece's place (pieceN_..., N from 0 in the world
// file's order). The README's section on the trace names every column.
#ifndef KESTRIX_SIM_TRACE_H
#define KESTRIX_SIM_TRACE_H

#include "model/model.h"
#include "model/registers.h"
#include "physics/physics.h"

#include <cstdio>
#include <vector>

namespace kxsim {

// The header line; the pose's and the pieces' columns only with a world.
void writeTraceHeader(std::FILE *trace, const World *world);
// One row at `seconds` since the start; `world` null for a run without one.
void writeTraceRow(std::FILE *trace, double seconds, const RegisterFile &registers, const Model &model,
                   const Physics *world);

// A match's trace: every robot's columns in turn, each name prefixed by
// the robot (r1_m0_position, r2_x_m, ...), then the pieces once.
struct TraceRobot
{
    const RegisterFile *registers;
    const Model *model;
    const Physics *physics;
};
void writeMatchTraceHeader(std::FILE *trace, const World *world, std::size_t robots);
void writeMatchTraceRow(std::FILE *trace, double seconds, const std::vector<TraceRobot> &robots, bool world);

} // namespace kxsim

#endif
