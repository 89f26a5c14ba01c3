#include "model/match_block.h"

#include <climits>
#include <cstring>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

class ClockGuard
{
public:
    explicit ClockGuard(MatchBlock &match) : m_word(match.clockLock)
    {
        while (m_word.exchange(1, std::memory_order_acquire) != 0)
            ::sched_yield();
    }
    ~ClockGuard() { m_word.store(0, std::memory_order_release); }
    ClockGuard(const ClockGuard &) = delete;
    ClockGuard &operator=(const ClockGuard &) = delete;

private:
    std::atomic<std::uint32_t> &m_word;
};

void wakeGrant(std::atomic<std::uint32_t> &word)
{
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
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
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&match.grant[robot]), FUTEX_WAIT, seen, &timeout,
                  nullptr, 0);
    return match.grant[robot].load();
}

} // namespace kxsim
