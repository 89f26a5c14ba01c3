// The memory the programs of a match share (kestrix-sim --robot, one program
// per robot): the launcher creates it, zeroed, sets this header up and hands
// it to every program as KESTRIX_SIM_MATCH_FD; each program's simulation puts
// its robot's run after it (Simulation::SharedRun, one per robot).
//
// One clock for all: under virtual time each program's scheduler says here
// when every one of its threads waits and until when (`idle`), and only when
// every robot's program waits does the match's time move, to the earliest of
// their deadlines; the programs whose deadline that is are granted it (their
// grant word counts up, and a thread of theirs waits on it). A program that
// ends leaves the clock to the others (`leave`), whether it ends itself or
// the launcher sees it die.
#ifndef KESTRIX_SIM_MATCH_BLOCK_H
#define KESTRIX_SIM_MATCH_BLOCK_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <pthread.h>

namespace kxsim {

struct MatchBlock
{
    static constexpr std::uint32_t Magic = 0x4B584D31; // "KXM1"
    static constexpr std::size_t MaxRobots = 2;
    // What `deadline` holds besides a time: the robot's program runs, waits
    // with no deadline, or has ended.
    static constexpr std::int64_t Busy = -1;
    static constexpr std::int64_t NoDeadline = INT64_MAX;
    static constexpr std::int64_t Gone = -2;

    std::uint32_t magic;
    std::uint32_t robots;
    pthread_mutex_t lock;     // process-shared and robust: the world and every robot's run
    std::int64_t startNs;     // virtual time of day at which the match begins
    std::atomic<std::uint32_t> ready; // programs that have set their run up
    std::int64_t scaledStartNs, scaledStartMonoNs; // the scaled clock's common origin, once all are ready
    std::atomic<std::uint32_t> originSet;
    std::atomic<std::uint32_t> ended[MaxRobots]; // the robot's program has ended: its motors stop
    std::uint64_t generation; // counts the releases of the runs: unchanged, a process's copy is current
    std::int64_t nextTraceUs; // the match's next trace row
    std::uint32_t traceLost;

    // The clock, under its own lock: a spin lock held for a few
    // instructions, taken inside a program's scheduler, where no call of
    // the C library's locks may go through the simulator's interposers.
    std::atomic<std::uint32_t> clockLock;
    std::int64_t nowNs;
    std::int64_t deadline[MaxRobots];
    std::atomic<std::uint32_t> grant[MaxRobots]; // futex words
    std::int64_t grantedNs[MaxRobots];
    // The robot's program waits for its grant in the thread that sleeps
    // (matchParkForGrant), not in the one that takes grants for the others:
    // first on the word itself (Spinning), then in the kernel (Parked).
    static constexpr std::uint32_t Running = 0, Parked = 1, Spinning = 2;
    std::atomic<std::uint32_t> parked[MaxRobots];
    std::atomic<std::uint32_t> nudges[MaxRobots]; // matchNudge's count, which ends a spin
    // The process that stepped the table last (Physics::stepTogether), 0
    // when none has: one that steps again carries its engine on.
    std::uint32_t tableStepper;
};

// The launcher's part: sets up a zeroed block for `robots` programs that
// begin at `startNs`.
void setUpMatch(MatchBlock &match, std::uint32_t robots, std::int64_t startNs);

// Robot `robot`'s program waits in every thread, the earliest until
// `deadlineNs` (MatchBlock::NoDeadline for none). Returns true when that
// deadline is the match's next time: the caller wakes its thread then. Any
// other robot granted meanwhile is woken through its grant word.
bool matchIdle(MatchBlock &match, std::size_t robot, std::int64_t deadlineNs);
// A thread of the robot's program runs again before a grant came.
void matchBusy(MatchBlock &match, std::size_t robot);
// The robot's program has ended: the others go on without it.
void matchLeave(MatchBlock &match, std::size_t robot);
// Waits until the robot's grant word moves on from `seen` (or a real
// `timeoutMs` passes); returns the word. The granted time is grantedNs.
// For the thread of a program that takes grants for its other threads.
std::uint32_t matchAwaitGrant(MatchBlock &match, std::size_t robot, std::uint32_t seen, int timeoutMs);
// The same for the program's sleeping thread itself, which is then the one
// woken, and the only one. matchNudge() ends it early.
std::uint32_t matchParkForGrant(MatchBlock &match, std::size_t robot, std::uint32_t seen, int timeoutMs);
void matchNudge(MatchBlock &match, std::size_t robot);

} // namespace kxsim

#endif
