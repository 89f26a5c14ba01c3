// The keeper: the process between the launcher and the program that makes
// every process of a run end with it.
//
// The launcher forks the keeper, the keeper forks and executes the program.
// The keeper is the run's subreaper (PR_SET_CHILD_SUBREAPER): a process the
// program starts that loses its parent (a double fork, a daemon after
// setsid) is handed to the keeper rather than to init, so every process of
// the run stays below it in the process tree, whatever session or group it
// moved to. When the program ends, or when the launcher ends however it ends
// (SIGKILL too: the keeper holds the read end of a pipe that only the
// launcher writes, and sees it close), the keeper kills what is left below
// it, reaps it, and ends.
//
// The launcher may have threads (the panel's server) when it forks, so the
// keeper and the program's child up to its exec only make system calls:
// everything they use is built before the fork.
#ifndef KESTRIX_SIM_KEEPER_H
#define KESTRIX_SIM_KEEPER_H

#include <sys/types.h>

namespace kxsim {

struct KeeperLaunch
{
    const char *program = nullptr;
    char *const *arguments = nullptr;
    char *const *environment = nullptr;
    int stdoutFd = -1;  // the program's standard output instead of ours, or -1
    int execReport = -1; // write end of a close-on-exec pipe: a failed exec writes its errno there
};

struct Keeper
{
    pid_t keeper = -1;  // the launcher's child
    pid_t program = -1; // the keeper's child
    int status = -1;    // read end: the program's wait status when it ends
};

// Forks the keeper, which starts the program. Returns false with errno set
// when it could not; `keeper.program` is known when it returns true.
bool startKeeper(const KeeperLaunch &launch, Keeper &keeper);

// Waits for the keeper to end the run and gives the program's wait status;
// false when the keeper ended without reporting one. `step` is called every
// few milliseconds while the run goes on, when given.
bool waitForKeeper(const Keeper &keeper, int &waitStatus, void (*step)(void *), void *context);

} // namespace kxsim

#endif
