// Why a program cannot run on the simulator: one line each, naming the
// program, the reason and the remedy, for the launcher to print.
#ifndef KESTRIX_SIM_LAUNCH_ERRORS_H
#define KESTRIX_SIM_LAUNCH_ERRORS_H

#include <string>

namespace kxsim {

// The kernel refused to start `program`; `error` is the errno of the exec.
std::string execFailure(const std::string &program, int error);

// `program` ran, or tried to (the dynamic loader ended it), and ended with
// `waitStatus` without the simulator ever starting in it.
std::string withoutSimulator(const std::string &program, int waitStatus);

} // namespace kxsim

#endif
