// The scheduler of the program's threads under virtual time: which threads
// there are and of what kind, which of them wait and until when, and the
// rule that moves the clock when every program thread waits. A fork leaves
// the forking thread alone in the child.
#include "clock/clock_state.h"

#include <cerrno>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

__thread Waiter t_waiter __attribute__((tls_model("initial-exec")));
__thread ThreadKind t_kind __attribute__((tls_model("initial-exec")));
__thread bool t_creatingOwn __attribute__((tls_model("initial-exec")));
__thread bool t_moving __attribute__((tls_model("initial-exec")));
__thread std::int64_t t_movingNs __attribute__((tls_model("initial-exec")));

} // namespace

ThreadKind threadKind()
{
    return t_kind;
}

void setThreadKind(ThreadKind kind)
{
    t_kind = kind;
}

bool creatingOwnThreads()
{
    return t_creatingOwn || t_kind == ThreadKind::Own;
}

OwnThreads::OwnThreads() : m_before(t_creatingOwn)
{
    t_creatingOwn = true;
}

OwnThreads::~OwnThreads()
{
    t_creatingOwn = m_before;
}

MovingTheWorld::MovingTheWorld() : m_before(t_moving), m_beforeNs(t_movingNs)
{
    if (!t_moving)
        t_movingNs = Clock::instance().nowNs();
    t_moving = true;
}

MovingTheWorld::~MovingTheWorld()
{
    t_moving = m_before;
    t_movingNs = m_beforeNs;
}

bool movingTheWorld(std::int64_t &ns)
{
    ns = t_movingNs;
    return t_moving;
}

void Clock::beforeFork()
{
    rawLock(&instance().state().lock);
}

void Clock::afterForkParent()
{
    rawUnlock(&instance().state().lock);
}

// Only the forking thread lives on in the child.
void Clock::afterForkChild()
{
    State &s = instance().state();
    pthread_mutex_init(&s.lock, nullptr);
    s.programThreads = 1;
    s.waiting = 0;
    s.waiters.clear();
    s.releasable = 0;
    // The peers are the parent's: a child keeps its own time.
    s.peers = nullptr;
    // So is the watcher: the launcher follows the parent's time.
    s.watcher = nullptr;
    s.publishedIdle = false;
    t_waiter.waiting = false;
    t_waiter.onPeers = false;
    t_waiter.tid = 0;
}

bool Clock::simulates() const
{
    if (t_kind != ThreadKind::Program || !clockStateReady.load(std::memory_order_acquire))
        return false;
    return state().mode.load(std::memory_order_relaxed) != Mode::Real && t_kind == ThreadKind::Program;
}

bool Clock::schedules() const
{
    return state().mode.load(std::memory_order_relaxed) == Mode::Virtual && t_kind == ThreadKind::Program;
}

void Clock::afterWait()
{
    void (*hook)();
    {
        State &s = state();
        Guard guard(s.lock);
        hook = s.sleepHook;
    }
    if (hook) {
        const int error = errno;
        hook();
        errno = error;
    }
}

int Clock::sleepUntil(std::int64_t deadlineNs, std::int64_t *remainingNs)
{
    State &s = state();
    if (s.mode.load() == Mode::Scaled) {
        static const auto s_sleep =
            nextFunction<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
        const timespec until = toTimespec(realDeadline(deadlineNs));
        const int error = s_sleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (error != 0 && remainingNs)
            *remainingNs = std::max<std::int64_t>(0, deadlineNs - nowNs());
        if (error == 0)
            afterWait();
        return error;
    }
    {
        Guard guard(s.lock);
        Waiter &w = t_waiter;
        if (deadlineNs <= s.virtualNs)
            return 0;
        w.deadline = deadlineNs;
        w.on = nullptr;
        w.kick = nullptr;
        w.kind = WaitKind::Other;
        w.woken = false;
        s.startWaiting(w);
        s.lastActivity = realNs(CLOCK_MONOTONIC);
        s.advanceIfIdle();
        while (!w.woken) {
            if (!s.parkOnPeers(w))
                rawClockwait(&w.park, &s.lock, realNs(CLOCK_MONOTONIC) + std::int64_t(GraceMs) * 1000000);
            if (!w.woken)
                s.graceCheck();
        }
    }
    afterWait();
    return 0;
}

bool Clock::waitFor(std::int64_t deadlineNs, const void *on, const std::function<bool(std::int64_t)> &attempt,
                    void (*kick)(const void *), WaitKind kind)
{
    State &s = state();
    Waiter &w = t_waiter;
    rawLock(&s.lock);
    if (deadlineNs <= s.virtualNs) {
        rawUnlock(&s.lock);
        return false;
    }
    w.deadline = deadlineNs;
    w.on = on;
    w.kick = kick;
    w.kind = kind;
    if (w.tid == 0)
        w.tid = pid_t(::gettid());
    w.woken = false;
    s.startWaiting(w);
    s.lastActivity = realNs(CLOCK_MONOTONIC);
    s.advanceIfIdle();
    bool ready = false;
    while (!w.woken) {
        rawUnlock(&s.lock);
        ready = attempt(SliceNs);
        rawLock(&s.lock);
        if (ready)
            break;
        if (!w.waiting && !w.woken) {
            // Released, but another thread got there first: waiting again.
            s.startWaiting(w);
            s.advanceIfIdle();
        }
        if (!w.woken)
            s.graceCheck();
    }
    const bool timedOut = w.woken && !ready;
    s.stopWaiting(w);
    s.lastActivity = realNs(CLOCK_MONOTONIC);
    rawUnlock(&s.lock);
    if (timedOut)
        afterWait();
    return ready;
}

void Clock::release(const void *on)
{
    State &s = state();
    if (s.releasable.load() == 0)
        return;
    Guard guard(s.lock);
    for (std::size_t i = s.waiters.size(); i-- > 0;) {
        Waiter *w = s.waiters[i];
        if (w->on == on)
            s.stopWaiting(*w);
    }
}

void Clock::setPeers(Peers *peers)
{
    State &s = state();
    Guard guard(s.lock);
    s.peers = peers;
    s.publishedIdle = false;
    s.grantsTaken = peers ? peers->grants() : 0;
}

void Clock::setWatcher(Watcher *watcher)
{
    State &s = state();
    Guard guard(s.lock);
    s.watcher = watcher;
    if (watcher)
        watcher->moved(s.virtualNs);
}

void Clock::takeGrant()
{
    State &s = state();
    Guard guard(s.lock);
    s.takeGrant();
}

void Clock::followRealTime()
{
    State &s = state();
    Guard guard(s.lock);
    if (s.mode.load() != Mode::Virtual || s.earliest() != nullptr || s.peers)
        return;
    const std::int64_t now = realNs(CLOCK_MONOTONIC);
    if (now - s.lastActivity < std::int64_t(GraceMs) * 1000000)
        return;
    // From the last wait on, or from the last time it followed.
    s.moveTo(s.virtualNs + now - std::max(s.followedAt, s.lastActivity));
    s.followedAt = now;
}

void Clock::threadAdded()
{
    State &s = state();
    Guard guard(s.lock);
    ++s.programThreads;
}

void Clock::threadGone()
{
    State &s = state();
    Guard guard(s.lock);
    --s.programThreads;
    s.lastActivity = realNs(CLOCK_MONOTONIC);
    s.advanceIfIdle();
}

int Clock::usleep(std::uint64_t us)
{
    State &s = state();
    {
        Guard guard(s.lock);
        ++s.sleepCalls;
        if (s.recording)
            s.sleeps.push_back(us);
        if (s.failAt != 0 && s.sleepCalls == s.failAt) {
            s.failAt = 0;
            errno = s.failError;
            return -1;
        }
    }
    if (simulates()) {
        const int error = sleepUntil(nowNs() + std::int64_t(us) * 1000);
        if (error != 0) {
            errno = error;
            return -1;
        }
        return 0;
    }
    const Mode mode = s.mode.load();
    if (mode == Mode::Virtual && t_kind == ThreadKind::Unknown) {
        {
            Guard guard(s.lock);
            s.virtualNs += std::int64_t(us) * 1000;
        }
        afterWait();
        return 0;
    }
    if (mode == Mode::Scaled && t_kind == ThreadKind::Unknown)
        us = std::uint64_t(double(us) / speed());
    static const auto s_usleep = nextFunction<int (*)(useconds_t)>("usleep");
    const int result = s_usleep(static_cast<useconds_t>(us));
    if (t_kind != ThreadKind::Own)
        afterWait();
    return result;
}

} // namespace kxsim
