#include "model/match_block.h"

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
        const std::uint32_t self = std::uint32_t(::getpid());
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

void wakeGrant(std::atomic<std::uint32_t> &word)
{
    rawSyscall()(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Under the clock's lock: when no robot's program runs, the match moves to
// the earliest deadline and grants it to every robot waiting for it, in the
// order of the robots. Returns whether `self` was among them (it is not
// woken through its word: it wakes its own thread).
bool grantIfAllWait(MatchBlock &match, std::size_t self)
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
    bool granted = false;
    for (std::size_t r = 0; r < match.robots; ++r) {
        if (match.deadline[r] != earliest)
            continue;
        match.deadline[r] = MatchBlock::Busy;
        match.grantedNs[r] = earliest;
        if (r == self) {
            granted = true;
            continue;
        }
        match.grant[r].fetch_add(1);
        wakeGrant(match.grant[r]);
    }
    return granted;
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
    ClockGuard guard(match);
    if (match.deadline[robot] == MatchBlock::Gone)
        return true;
    // A deadline the match has reached already moves nobody's time.
    if (deadlineNs <= match.nowNs) {
        match.deadline[robot] = MatchBlock::Busy;
        return true;
    }
    match.deadline[robot] = deadlineNs;
    return grantIfAllWait(match, robot);
}

void matchBusy(MatchBlock &match, std::size_t robot)
{
    ClockGuard guard(match);
    if (match.deadline[robot] != MatchBlock::Gone)
        match.deadline[robot] = MatchBlock::Busy;
}

void matchLeave(MatchBlock &match, std::size_t robot)
{
    ClockGuard guard(match);
    match.ended[robot].store(1);
    match.deadline[robot] = MatchBlock::Gone;
    grantIfAllWait(match, robot);
}

std::uint32_t matchAwaitGrant(MatchBlock &match, std::size_t robot, std::uint32_t seen, int timeoutMs)
{
    timespec timeout{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
    if (match.grant[robot].load() == seen)
        rawSyscall()(SYS_futex, reinterpret_cast<std::uint32_t *>(&match.grant[robot]), FUTEX_WAIT, seen, &timeout,
                  nullptr, 0);
    return match.grant[robot].load();
}

} // namespace kxsim
