#include "model/match_block.h"
#include "model/process_id.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <dlfcn.h>
#include <signal.h>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

// The lock word holds the process that holds it. A program killed while
// it held the lock (SIGKILL mid-match) would hold it for ever: a waiter
// that has spun a while takes it over from a holder that is gone.
class ClockGuard
{
public:
    explicit ClockGuard(MatchBlock &match) : m_word(match.clockLock)
    {
        const std::uint32_t self = std::uint32_t(processId());
        for (unsigned spins = 1;; ++spins) {
            std::uint32_t holder = 0;
            if (m_word.compare_exchange_weak(holder, self, std::memory_order_acquire))
                return;
            if (spins % 1024 == 0 && holder != 0 && ::kill(pid_t(holder), 0) != 0 && errno == ESRCH
                && m_word.compare_exchange_strong(holder, self, std::memory_order_acquire))
                return;
            ::sched_yield();
        }
    }
    ~ClockGuard() { m_word.store(0, std::memory_order_release); }
    ClockGuard(const ClockGuard &) = delete;
    ClockGuard &operator=(const ClockGuard &) = delete;

private:
    std::atomic<std::uint32_t> &m_word;
};

// Straight to the kernel: in a program the simulator interposes syscall(),
// and a wake from inside the program's scheduler must not go back into it
// (its clock's lock is held there). Found on first use, without a
// function-local static, whose guard may itself wait through syscall(); the
// simulator's entry may run before this file's initialisers.
using SyscallFn = long (*)(long, ...);
std::atomic<SyscallFn> s_syscall{nullptr};

SyscallFn rawSyscall()
{
    SyscallFn found = s_syscall.load(std::memory_order_relaxed);
    if (found == nullptr) {
        void *next = ::dlsym(RTLD_NEXT, "syscall");
        found = next ? reinterpret_cast<SyscallFn>(next) : &::syscall;
        s_syscall.store(found, std::memory_order_relaxed);
    }
    return found;
}

// Who waits on a grant word: the sleeping thread of a program waits with
// every bit (a plain FUTEX_WAIT), the thread that takes grants for the other
// waits with this one alone, so that a grant for the sleeping thread wakes
// that thread and no other.
constexpr std::uint32_t TakerBits = 2, SleeperBits = 1;

// How long a program's sleeping thread looks at its grant word before it
// waits in the kernel, in pauses of the processor (some 25 ns each on the
// development machine: about 50 us in all), and how often it lets another
// process have its core meanwhile.
constexpr int SpinPauses = 2000, PausesPerYield = 16;

inline void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

long futexCall(std::atomic<std::uint32_t> &word, int op, std::uint32_t value, const timespec *timeout,
               std::uint32_t bits)
{
    return rawSyscall()(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), op, value, timeout, nullptr, bits);
}

// Robots granted under the clock's lock, woken once it is free.
struct Granted
{
    bool robot[MatchBlock::MaxRobots] = {};
};

void wakeGranted(MatchBlock &match, const Granted &granted)
{
    for (std::size_t r = 0; r < MatchBlock::MaxRobots; ++r) {
        if (!granted.robot[r])
            continue;
        // A program that waits on the word sees the grant itself.
        const std::uint32_t parked = match.parked[r].load();
        if (parked == MatchBlock::Spinning)
            continue;
        if (parked == MatchBlock::Parked)
            futexCall(match.grant[r], FUTEX_WAKE_BITSET, INT_MAX, nullptr, SleeperBits);
        else
            futexCall(match.grant[r], FUTEX_WAKE, INT_MAX, nullptr, 0);
    }
}

// Under the clock's lock: when no robot's program runs, the match moves to
// the earliest deadline and grants it to one robot waiting for it: `self`
// if it is one of them, which then goes on without a handover, else the
// first in the order of the robots, woken once the lock is free (`others`).
// The rest of the same time are granted it as that one waits again, one
// after the other: the table steps only past a time, never at it, and each
// robot's controller reads its own registers, so whether two programs run
// at one moment together or in turn changes nothing they see, and in turn
// neither waits for the other's hold on the world.
// Returns whether `self` was granted.
bool grantIfAllWait(MatchBlock &match, std::size_t self, Granted &others)
{
    std::int64_t earliest = MatchBlock::NoDeadline;
    for (std::size_t r = 0; r < match.robots; ++r) {
        const std::int64_t d = match.deadline[r];
        if (d == MatchBlock::Busy)
            return false;
        if (d != MatchBlock::Gone && d < earliest)
            earliest = d;
    }
    if (earliest == MatchBlock::NoDeadline)
        return false;
    if (earliest > match.nowNs)
        match.nowNs = earliest;
    std::size_t chosen = self;
    if (self >= match.robots || match.deadline[self] != earliest)
        for (chosen = 0; match.deadline[chosen] != earliest; ++chosen) {
        }
    match.deadline[chosen] = MatchBlock::Busy;
    match.grantedNs[chosen] = earliest;
    if (chosen == self)
        return true;
    match.grant[chosen].fetch_add(1);
    others.robot[chosen] = true;
    return false;
}

} // namespace

void setUpMatch(MatchBlock &match, std::uint32_t robots, std::int64_t startNs)
{
    pthread_mutexattr_t attributes;
    ::pthread_mutexattr_init(&attributes);
    ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    ::pthread_mutex_init(&match.lock, &attributes);
    ::pthread_mutexattr_destroy(&attributes);
    match.robots = robots;
    match.startNs = startNs;
    match.nowNs = startNs;
    match.nextTraceUs = startNs / 1000;
    for (std::size_t r = 0; r < MatchBlock::MaxRobots; ++r)
        match.deadline[r] = r < robots ? MatchBlock::Busy : MatchBlock::Gone;
    match.magic = MatchBlock::Magic;
}

bool matchIdle(MatchBlock &match, std::size_t robot, std::int64_t deadlineNs)
{
    Granted others;
    bool granted = false;
    {
        ClockGuard guard(match);
        if (match.deadline[robot] == MatchBlock::Gone)
            return true;
        // A deadline the match has reached already moves nobody's time.
        if (deadlineNs <= match.nowNs) {
            match.deadline[robot] = MatchBlock::Busy;
            return true;
        }
        match.deadline[robot] = deadlineNs;
        granted = grantIfAllWait(match, robot, others);
    }
    wakeGranted(match, others);
    return granted;
}

void matchBusy(MatchBlock &match, std::size_t robot)
{
    ClockGuard guard(match);
    if (match.deadline[robot] != MatchBlock::Gone)
        match.deadline[robot] = MatchBlock::Busy;
}

void matchLeave(MatchBlock &match, std::size_t robot)
{
    Granted others;
    {
        ClockGuard guard(match);
        match.ended[robot].store(1);
        match.deadline[robot] = MatchBlock::Gone;
        grantIfAllWait(match, robot, others);
    }
    wakeGranted(match, others);
}

std::uint32_t matchAwaitGrant(MatchBlock &match, std::size_t robot, std::uint32_t seen, int timeoutMs)
{
    std::atomic<std::uint32_t> &word = match.grant[robot];
    if (word.load() != seen)
        return word.load();
    // The bit-set wait takes an absolute time, on the real monotonic clock
    // (past the program's interposed one).
    timespec until{};
    rawSyscall()(SYS_clock_gettime, CLOCK_MONOTONIC, &until);
    until.tv_sec += timeoutMs / 1000;
    until.tv_nsec += long(timeoutMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    futexCall(word, FUTEX_WAIT_BITSET, seen, &until, TakerBits);
    return word.load();
}

std::uint32_t matchParkForGrant(MatchBlock &match, std::size_t robot, std::uint32_t seen, int timeoutMs)
{
    std::atomic<std::uint32_t> &word = match.grant[robot];
    // First on the word, for about as long as most of the other program's
    // turns last (some tens of microseconds): the grant then costs no
    // system call on either side and, the other program on another core, no
    // wake-up of a core either, which on a virtual machine takes as long as
    // the turn. Every few pauses the core goes to any other process that
    // waits for it, which may be the very program this one waits for.
    // Marked before the word is looked at: a grant after the look sees the
    // mark and leaves the waking to the word.
    match.parked[robot].store(MatchBlock::Spinning);
    const std::uint32_t nudged = match.nudges[robot].load();
    for (int spin = 0; spin < SpinPauses && word.load() == seen && match.nudges[robot].load() == nudged; ++spin) {
        relax();
        if (spin % PausesPerYield == PausesPerYield - 1)
            rawSyscall()(SYS_sched_yield);
    }
    // Then in the kernel, where a grant after this mark wakes it.
    match.parked[robot].store(MatchBlock::Parked);
    if (word.load() == seen && match.nudges[robot].load() == nudged) {
        const timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
        futexCall(word, FUTEX_WAIT, seen, &timeout, 0);
    }
    match.parked[robot].store(MatchBlock::Running);
    return word.load();
}

void matchNudge(MatchBlock &match, std::size_t robot)
{
    match.nudges[robot].fetch_add(1);
    futexCall(match.grant[robot], FUTEX_WAKE_BITSET, INT_MAX, nullptr, SleeperBits);
}

} // namespace kxsim
