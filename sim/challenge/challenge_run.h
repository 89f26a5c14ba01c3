// One run of a program against a challenge, as the launcher (kestrix-sim
// --challenge) holds it: the run's own world, script and trace in a folder
// of its own, the program's console, and the score once it has ended.
#ifndef KESTRIX_SIM_CHALLENGE_RUN_H
#define KESTRIX_SIM_CHALLENGE_RUN_H

#include "challenge/challenge.h"
#include "model/sim_status.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace kxsim {

// Exit statuses of a challenge run: passed, failed; a bad file is BadUsage.
constexpr int ChallengePassed = 0;
constexpr int ChallengeFailed = 1;

class ChallengeRun
{
public:
    ~ChallengeRun();

    // Reads the challenge and writes the run's world and script (drawn from
    // `seed`) into a new folder; the trace goes to `trace`, or to that
    // folder. False with a one-line `error`.
    bool prepare(const std::string &file, std::uint64_t seed, const std::string &trace, std::string &error);
    const Challenge &challenge() const { return challenge_; }
    const std::string &worldPath() const { return world_; }
    const std::string &scriptPath() const { return script_; }
    const std::string &tracePath() const { return trace_; }

    // The program's standard output: a terminal of the run's own, so that
    // the program writes it line by line as it would to a screen. The
    // launcher hands `programOutput()` to the program and closes it after
    // the start; the lines are echoed to our standard output and kept with
    // the simulated time at which they came.
    bool openConsole(std::string &error);
    int programOutput() const { return consoleProgram_; }
    // The program's copy of our side, which it polls so that its clock
    // waits until we have read what it wrote (preload/console_watch.h).
    int programWatch() const { return consoleWatch_; }
    void closeProgramOutput();
    void startConsole(const SimStatus &status);
    void stopConsole();

    // Scores the run that ended with `waitStatus`, prints the breakdown on
    // standard error, writes the report if asked, and returns
    // ChallengePassed or ChallengeFailed (74 when the report cannot be
    // written).
    int finish(const SimStatus &status, int waitStatus, const std::string &program, const std::string &report);

private:
    void pump(const SimStatus *status);
    void take(const char *bytes, std::size_t count, double seconds);

    Challenge challenge_;
    std::uint64_t seed_ = 1;
    std::string folder_, world_, script_, trace_;
    int consoleLauncher_ = -1, consoleProgram_ = -1, consoleWatch_ = -1;
    std::thread pump_;
    std::atomic<bool> ended_{false};
    std::mutex lock_;
    std::vector<ConsoleLine> console_;
    std::string partial_;
    std::size_t kept_ = 0;
};

} // namespace kxsim

#endif
