// The clock's state, shared by the pieces of the clock: its time and mode
// (clock.cpp), the scheduler of the program's threads (scheduler.cpp), and
// the interposers of the time calls (time_interposers.cpp) and of the waits
// with a time limit (wait_interposers.cpp). Private to clock/.
#ifndef KESTRIX_SIM_CLOCK_STATE_H
#define KESTRIX_SIM_CLOCK_STATE_H

#include "clock/fake_clock.h"
#include "fakes/fake_device.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include <pthread.h>
#include <sys/types.h>
#include <time.h>

namespace kxsim {

constexpr std::int64_t Billion = 1000000000;
// Real time a simulated wait on something outside the clock (a descriptor, a
// condition, a mutex) spends in one real call before it looks at the clock
// again: it bounds the delay of a wake-up that raced with the start of that
// call.
constexpr std::int64_t SliceNs = 2000000;

using ClockGettimeFn = int (*)(clockid_t, timespec *);
using NanosleepFn = int (*)(const timespec *, timespec *);
using MutexFn = int (*)(pthread_mutex_t *);
using CondFn = int (*)(pthread_cond_t *);
using CondClockwaitFn = int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);

inline std::int64_t toNs(const timespec &ts)
{
    return std::int64_t(ts.tv_sec) * Billion + ts.tv_nsec;
}

inline timespec toTimespec(std::int64_t ns)
{
    timespec ts{};
    ts.tv_sec = time_t(ns / Billion);
    ts.tv_nsec = long(ns % Billion);
    if (ts.tv_nsec < 0) {
        ts.tv_nsec += Billion;
        --ts.tv_sec;
    }
    return ts;
}

// The scheduler's own lock and parking go straight to the C library, past
// the simulator's interposers of the pthread calls.
void rawLock(pthread_mutex_t *m);
void rawUnlock(pthread_mutex_t *m);
void rawSignal(pthread_cond_t *c);
int rawClockwait(pthread_cond_t *c, pthread_mutex_t *m, std::int64_t realMonotonicNs);

// The thread id of the owner of a normal mutex, 0 while it is free; only
// valid while mutexOwnersReadable() found the C library's layout as it
// expects (clock.cpp).
bool mutexOwnersReadable();
int mutexOwner(const pthread_mutex_t *mutex);

// What the scheduler knows of one thread while it waits. Plain data, zero at
// thread start, so that it needs no constructor in thread-local storage. The
// clock's state holds pointers to it, so it is not in the anonymous namespace.
struct Waiter
{
    pthread_cond_t park;
    std::int64_t deadline;
    std::uint64_t order;
    const void *on;
    void (*kick)(const void *);
    Clock::WaitKind kind;
    pid_t tid;
    bool waiting; // counted as waiting
    bool woken;   // its deadline came
    bool onPeers; // parked in the peers' awaitGrant() rather than on `park`
};

class Guard
{
public:
    explicit Guard(pthread_mutex_t &m) : m_m(m) { rawLock(&m_m); }
    ~Guard() { rawUnlock(&m_m); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    pthread_mutex_t &m_m;
};

struct Clock::State
{
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<Mode> mode{Mode::Real};
    double speed = 1.0;
    std::int64_t virtualNs = 0;       // Virtual: the time of day
    std::int64_t scaledStartNs = 0;   // Scaled: the time of day when scaling began
    std::int64_t scaledStartMono = 0; // real monotonic time then
    std::int64_t monotonicOffset = 0; // time of day minus CLOCK_MONOTONIC
    std::int64_t boottimeOffset = 0;  // time of day minus CLOCK_BOOTTIME

    int programThreads = 1;
    int waiting = 0;
    std::vector<Waiter *> waiters;
    std::atomic<int> releasable{0}; // waiters with something to release them
    std::uint64_t order = 0;
    std::int64_t lastActivity = 0; // real monotonic time a wait last began or ended
    std::int64_t followedAt = 0;   // real monotonic time the clock last followed real time
    bool mutexOwners = false;      // mutexOwner() can be trusted

    bool recording = true;
    std::vector<std::uint64_t> sleeps;
    std::size_t sleepCalls = 0;
    std::size_t failAt = 0; // absolute call number that fails, 0 = none
    int failError = 0;
    void (*sleepHook)() = nullptr;
    Clock::Peers *peers = nullptr;
    Clock::Watcher *watcher = nullptr;
    bool publishedIdle = false; // the peers were told that every thread waits
    std::uint32_t grantsTaken = 0; // the peers' grants() when the last was taken

    std::int64_t now() const
    {
        switch (mode.load(std::memory_order_relaxed)) {
        case Mode::Virtual:
            return virtualNs;
        case Mode::Scaled:
            return scaledStartNs + std::int64_t(double(realNs(CLOCK_MONOTONIC) - scaledStartMono) * speed);
        case Mode::Real:
            break;
        }
        return realNs(CLOCK_REALTIME);
    }

    void startWaiting(Waiter &w)
    {
        w.waiting = true;
        w.order = ++order;
        ++waiting;
        waiters.push_back(&w);
        if (w.on)
            releasable.fetch_add(1);
    }

    void stopWaiting(Waiter &w)
    {
        if (!w.waiting)
            return;
        if (publishedIdle) {
            publishedIdle = false;
            peers->busy();
        }
        w.waiting = false;
        --waiting;
        waiters.erase(std::find(waiters.begin(), waiters.end(), &w));
        if (w.on)
            releasable.fetch_sub(1);
    }

    // Every move of the virtual clock goes through here.
    void moveTo(std::int64_t ns)
    {
        if (ns <= virtualNs)
            return;
        if (watcher)
            watcher->beforeMove();
        virtualNs = ns;
        if (watcher)
            watcher->moved(ns);
    }

    void wake(Waiter &w)
    {
        moveTo(w.deadline);
        w.woken = true;
        stopWaiting(w);
        lastActivity = realNs(CLOCK_MONOTONIC);
        if (w.onPeers)
            peers->nudge();
        else
            rawSignal(&w.park);
        // A thread in a timed condition or futex wait sleeps in the real
        // call; waking every waiter of it is a spurious wake-up for the
        // others, which they must allow for anyway.
        if (w.kick)
            w.kick(w.on);
    }

    Waiter *earliest() const
    {
        Waiter *best = nullptr;
        for (Waiter *w : waiters)
            if (w->deadline != NoDeadline &&
                (!best || w->deadline < best->deadline || (w->deadline == best->deadline && w->order < best->order)))
                best = w;
        return best;
    }

    // The clock moves only while every program thread waits, and then only
    // as far as the earliest deadline, whose thread alone wakes.
    // A condition waiter holds its mutex between two real waits; a thread
    // blocked on that mutex then waits for a thread that is about to run,
    // and so does one on a mutex that has just come free.
    bool mutexHolderRuns() const
    {
        for (const Waiter *blocked : waiters) {
            if (blocked->kind != Clock::WaitKind::Mutex)
                continue;
            // Without the owner a blocked thread counts as about to run: the
            // clock then moves on by the grace rule alone.
            if (!mutexOwners)
                return true;
            const int owner = mutexOwner(static_cast<const pthread_mutex_t *>(blocked->on));
            if (owner == 0)
                return true;
            for (const Waiter *holder : waiters)
                if (holder->tid == owner && holder->kind == Clock::WaitKind::Condition)
                    return true;
        }
        return false;
    }

    void advanceIfIdle()
    {
        while (waiting >= programThreads && !mutexHolderRuns()) {
            Waiter *next = earliest();
            if (peers && !askPeers(next))
                return;
            if (!next)
                return;
            wake(*next);
        }
    }

    // With peers the clock moves only when they grant it.
    bool askPeers(Waiter *next)
    {
        publishedIdle = true;
        if (!peers->idle(next ? next->deadline : Clock::NoDeadline))
            return false;
        publishedIdle = false;
        return true;
    }

    // A grant the peers made and nobody has taken yet wakes the threads
    // waiting until its time, one at a time as without peers: the others of
    // the same time wake when this process waits again.
    void takeGrant()
    {
        if (!peers)
            return;
        const std::uint32_t grants = peers->grants();
        if (grants == grantsTaken)
            return;
        grantsTaken = grants;
        publishedIdle = false;
        const std::int64_t ns = peers->grantedNs();
        if (Waiter *next = earliest(); next && next->deadline <= ns)
            wake(*next);
        advanceIfIdle();
    }

    // The waiting thread is the program's only one, whose wake-up comes from
    // the peers: it waits on their grant itself, rather than for the thread
    // that takes grants to pass it on. Called and returns with the lock held.
    bool parkOnPeers(Waiter &w)
    {
        if (!peers || !publishedIdle || programThreads != 1 || waiting != 1)
            return false;
        const std::uint32_t seen = grantsTaken;
        w.onPeers = true;
        rawUnlock(&lock);
        peers->awaitGrant(seen, Clock::GraceMs);
        rawLock(&lock);
        w.onPeers = false;
        takeGrant();
        return true;
    }

    void graceCheck()
    {
        if (realNs(CLOCK_MONOTONIC) - lastActivity < std::int64_t(GraceMs) * 1000000)
            return;
        Waiter *next = earliest();
        if (next && (!peers || askPeers(next)))
            wake(*next);
    }
};

// Set once the clock's state exists. Read without a guard variable on
// purpose: the interposed syscall() is reached from inside the C++ runtime's
// own guard of a function-local static (a contended guard waits on a futex),
// and must not start another guarded initialisation there.
extern std::atomic<bool> clockStateReady;

// For the interposers: the C library's own function of that name.
template <typename Fn>
Fn real(const char *name)
{
    return nextFunction<Fn>(name);
}

inline bool validTimespec(const timespec *ts)
{
    return ts && ts->tv_nsec >= 0 && ts->tv_nsec < Billion && ts->tv_sec >= 0;
}

} // namespace kxsim

// The interposers stand outside the namespace, as the C library's names do.
using kxsim::Billion;
using kxsim::Clock;
using kxsim::real;
using kxsim::toNs;
using kxsim::toTimespec;
using kxsim::validTimespec;

#endif
