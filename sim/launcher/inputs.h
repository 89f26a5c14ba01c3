// kestrix-sim's checks of its inputs before anything starts: the script,
// the trace's and the picture's places, the world file, and for a match
// the world's start poses for its robots. Each refuses with one line and
// BadUsage.
#ifndef KESTRIX_SIM_INPUTS_H
#define KESTRIX_SIM_INPUTS_H

#include "launcher/options.h"

namespace kxsim {

void checkInputs(const Options &options);

} // namespace kxsim

#endif
