// The picture of a run: the field, its marks, walls and obstacles, the
// robot's path and its end pose, to scale, as one SVG file.
#ifndef KESTRIX_SIM_PLOT_H
#define KESTRIX_SIM_PLOT_H

#include "physics/physics.h"

#include <string>
#include <vector>

namespace kxsim {

// Returns false with `error` set when the file cannot be written.
bool writePlot(const std::string &path, const Physics &physics, std::string &error);
// A match: every robot's path and end pose in its colour (the world's
// robot.colours), on the first one's field.
bool writePlot(const std::string &path, const std::vector<const Physics *> &robots, std::string &error);

} // namespace kxsim

#endif
