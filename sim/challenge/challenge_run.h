// One run of a program against a challenge, as the launcher (kestrix-sim
// --challenge) holds it: the run's own world, script and trace in a folder
// of its own, the program's console, and the score once it has ended. A
// match's run has a console per robot and scores each side.
#ifndef KESTRIX_SIM_CHALLENGE_RUN_H
#define KESTRIX_SIM_CHALLENGE_RUN_H

#include "challenge/challenge.h"
#include "model/sim_status.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kxsim {

// Exit statuses of a challenge run: passed, failed; a bad file is BadUsage.
// A match passes when every side passed.
constexpr int ChallengePassed = 0;
constexpr int ChallengeFailed = 1;

// The program's standard output: a terminal of the run's own, so that the
// program writes it line by line as it would to a screen. The launcher
// hands `programOutput()` to the program and closes it after the start;
// the lines are echoed to our standard output and kept with the simulated
// time at which they came.
class ChallengeConsole
{
public:
    ~ChallengeConsole();
    bool open(std::string &error);
    int programOutput() const { return program_; }
    // The program's copy of our side, which it polls so that its clock
    // waits until we have read what it wrote (clock/console_watch.h).
    // Close-on-exec until `inheritWatch` lets the one program it is for
    // inherit it, so that the other robots of a match do not hold it.
    int inheritWatch();
    void closeProgramOutput();
    void start(const SimStatus &status);
    void stop();
    const std::vector<ConsoleLine> &lines() const { return lines_; }

private:
    void pump(const SimStatus *status);
    void take(const char *bytes, std::size_t count, double seconds);

    int launcher_ = -1, program_ = -1, watch_ = -1;
    std::thread pump_;
    std::atomic<bool> ended_{false};
    std::mutex lock_;
    std::vector<ConsoleLine> lines_;
    std::string partial_;
    std::size_t kept_ = 0;
};

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

    // One console for each program: one, or a match's robots.
    bool openConsoles(std::size_t programs, std::string &error);
    bool hasConsoles() const { return !consoles_.empty(); }
    ChallengeConsole &console(std::size_t program) { return *consoles_.at(program); }

    // Scores the run that ended with `waitStatus`, prints the breakdown on
    // standard error, writes the report if asked, and returns
    // ChallengePassed or ChallengeFailed (74 when the report cannot be
    // written).
    int finish(const SimStatus &status, int waitStatus, const std::string &program, const std::string &report);
    // The same for a match: each robot's controller, how its program ended
    // and its name, in the order of the sides.
    int finishMatch(const std::vector<const SimStatus *> &status, const std::vector<int> &waitStatus,
                    const std::vector<std::string> &programs, const std::string &report);

private:
    RunRecord record(const SimStatus &status, int waitStatus, std::size_t program, const std::string &prefix);

    Challenge challenge_;
    std::uint64_t seed_ = 1;
    std::string folder_, world_, script_, trace_;
    std::vector<std::unique_ptr<ChallengeConsole>> consoles_;
};

} // namespace kxsim

#endif
