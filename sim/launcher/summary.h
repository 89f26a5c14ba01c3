// The launcher's summary of a run: how the program ended, and the state of
// the simulated controller at the end as the status block holds it.
#ifndef KESTRIX_SIM_SUMMARY_H
#define KESTRIX_SIM_SUMMARY_H

#include "launcher/options.h"
#include "model/sim_status.h"

#include <string>

namespace kxsim {

// Prints how the program ended and the controller's state on standard
// error; returns the launcher's exit status and puts the same text in
// `summary`.
int summarise(const SimStatus &status, const Options &options, const std::string &program, int waitStatus,
              double realSeconds, std::string &summary);

} // namespace kxsim

#endif
