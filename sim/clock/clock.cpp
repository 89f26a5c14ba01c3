// The clock's time: its mode (real, virtual, scaled), the time of day it
// gives and the other clocks derived from it, and what the tests record of
// its sleeps.
#include "clock/clock_state.h"

#include <cerrno>
#include <type_traits>

#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

int realClockGettime(clockid_t clock, timespec *ts)
{
    static const ClockGettimeFn s_fn = nextFunction<ClockGettimeFn>("clock_gettime");
    return s_fn(clock, ts);
}

} // namespace


// The scheduler's own lock and parking go straight to the C library, past
// the simulator's interposers of the pthread calls.
void rawLock(pthread_mutex_t *m)
{
    static const MutexFn s_fn = nextFunction<MutexFn>("pthread_mutex_lock");
    s_fn(m);
}

void rawUnlock(pthread_mutex_t *m)
{
    static const MutexFn s_fn = nextFunction<MutexFn>("pthread_mutex_unlock");
    s_fn(m);
}

void rawSignal(pthread_cond_t *c)
{
    static const CondFn s_fn = nextFunction<CondFn>("pthread_cond_signal");
    s_fn(c);
}

int rawClockwait(pthread_cond_t *c, pthread_mutex_t *m, std::int64_t realMonotonicNs)
{
    static const CondClockwaitFn s_fn = nextFunction<CondClockwaitFn>("pthread_cond_clockwait");
    const timespec until = toTimespec(realMonotonicNs);
    return s_fn(c, m, CLOCK_MONOTONIC, &until);
}

// glibc keeps the thread id of a normal mutex's owner in __data.__owner, 0
// while it is free. That is the C library's own layout, not an interface:
// it is read in this one place, and only once this check has found it so in
// the library the program runs with (a mutex locked by us shows our thread
// id there, unlocked shows 0). Elsewhere the scheduler does without it.
bool mutexOwnersReadable()
{
#ifdef __GLIBC__
    pthread_mutex_t probe = PTHREAD_MUTEX_INITIALIZER;
    rawLock(&probe);
    const bool locked = probe.__data.__owner == int(::gettid());
    rawUnlock(&probe);
    return locked && probe.__data.__owner == 0;
#else
    return false;
#endif
}

int mutexOwner(const pthread_mutex_t *mutex)
{
#ifdef __GLIBC__
    return mutex->__data.__owner;
#else
    (void)mutex;
    return -1;
#endif
}

std::int64_t realNs(int clock)
{
    timespec now{};
    realClockGettime(clockid_t(clock), &now);
    return toNs(now);
}

static_assert(std::is_trivially_destructible_v<Clock>, "read by threads while the process exits");

Clock &Clock::instance()
{
    // Initialised before anything runs, without the guard whose wait would
    // come back here through the futex interposer; it holds nothing that
    // its destruction could take from a thread reading the time at exit
    // (the state is never destroyed).
    static Clock s_instance;
    return s_instance;
}

std::atomic<bool> clockStateReady{false};

Clock::State &Clock::state() const
{
    // Never destroyed: threads may still read the clock while the process
    // exits.
    static State *const state = [] {
        State *created = new State();
        created->mutexOwners = mutexOwnersReadable();
        pthread_atfork(beforeFork, afterForkParent, afterForkChild);
        return created;
    }();
    clockStateReady.store(true, std::memory_order_release);
    return *state;
}

void Clock::setMode(Mode mode, double speed)
{
    State &s = state();
    Guard guard(s.lock);
    const std::int64_t now = s.now();
    const std::int64_t realDay = realNs(CLOCK_REALTIME);
    s.monotonicOffset = realDay - realNs(CLOCK_MONOTONIC);
    s.boottimeOffset = realDay - realNs(CLOCK_BOOTTIME);
    s.mode = mode;
    s.speed = speed > 0 ? speed : 1.0;
    s.virtualNs = now;
    s.scaledStartNs = now;
    s.scaledStartMono = realNs(CLOCK_MONOTONIC);
    s.lastActivity = s.scaledStartMono;
}

void Clock::scaledOrigin(std::int64_t &startNs, std::int64_t &startMonoNs) const
{
    State &s = state();
    Guard guard(s.lock);
    startNs = s.scaledStartNs;
    startMonoNs = s.scaledStartMono;
}

void Clock::setScaledOrigin(std::int64_t startNs, std::int64_t startMonoNs)
{
    State &s = state();
    Guard guard(s.lock);
    s.scaledStartNs = startNs;
    s.scaledStartMono = startMonoNs;
}

Clock::Mode Clock::mode() const
{
    return state().mode.load();
}

void Clock::setNowUs(std::int64_t usSinceEpoch)
{
    State &s = state();
    Guard guard(s.lock);
    s.virtualNs = usSinceEpoch * 1000;
}

void Clock::advanceUs(std::int64_t us)
{
    State &s = state();
    Guard guard(s.lock);
    s.virtualNs += us * 1000;
}

std::int64_t Clock::nowUs() const
{
    return nowNs() / 1000;
}

std::int64_t Clock::nowNs() const
{
    State &s = state();
    if (s.mode.load(std::memory_order_relaxed) == Mode::Real)
        return realNs(CLOCK_REALTIME);
    Guard guard(s.lock);
    return s.now();
}

// The offsets, the speed and the scaled origin change together under the
// lock when the mode changes (the panel pauses, resumes or sets the speed
// from a thread of its own), so each reading takes them under it as well.
bool Clock::read(int clock, std::int64_t &ns) const
{
    const std::int64_t State::*offset = nullptr;
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_REALTIME_ALARM:
        ns = nowNs();
        return true;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
        offset = &State::monotonicOffset;
        break;
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM:
        offset = &State::boottimeOffset;
        break;
    default:
        return false;
    }
    State &s = state();
    Guard guard(s.lock);
    ns = s.now() - s.*offset;
    return true;
}

std::int64_t Clock::toRealtime(int clock, std::int64_t ns) const
{
    State &s = state();
    switch (clock) {
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW: {
        Guard guard(s.lock);
        return ns + s.monotonicOffset;
    }
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM: {
        Guard guard(s.lock);
        return ns + s.boottimeOffset;
    }
    default:
        return ns;
    }
}

double Clock::speed() const
{
    State &s = state();
    Guard guard(s.lock);
    return s.speed;
}

std::int64_t Clock::realDeadline(std::int64_t deadlineNs) const
{
    State &s = state();
    Guard guard(s.lock);
    return s.scaledStartMono + std::int64_t(double(deadlineNs - s.scaledStartNs) / s.speed);
}

std::vector<std::uint64_t> Clock::sleeps() const
{
    State &s = state();
    Guard guard(s.lock);
    return s.sleeps;
}

std::size_t Clock::sleepCount() const
{
    State &s = state();
    Guard guard(s.lock);
    return s.sleeps.size();
}

void Clock::setRecording(bool on)
{
    State &s = state();
    Guard guard(s.lock);
    s.recording = on;
}

void Clock::failSleep(std::size_t n, int error)
{
    State &s = state();
    Guard guard(s.lock);
    s.failAt = n == 0 ? 0 : s.sleepCalls + n;
    s.failError = error;
}

void Clock::setSleepHook(void (*hook)())
{
    State &s = state();
    Guard guard(s.lock);
    s.sleepHook = hook;
}

void Clock::reset()
{
    State &s = state();
    Guard guard(s.lock);
    s.sleeps.clear();
    s.recording = true;
    s.failAt = 0;
}

} // namespace kxsim
