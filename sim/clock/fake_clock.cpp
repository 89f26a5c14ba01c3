#include "clock/fake_clock.h"

#include "fakes/fake_device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>

#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

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

int realClockGettime(clockid_t clock, timespec *ts)
{
    static const ClockGettimeFn s_fn = nextFunction<ClockGettimeFn>("clock_gettime");
    return s_fn(clock, ts);
}

std::int64_t toNs(const timespec &ts)
{
    return std::int64_t(ts.tv_sec) * Billion + ts.tv_nsec;
}

timespec toTimespec(std::int64_t ns)
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

} // namespace

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
};

namespace {

__thread Waiter t_waiter __attribute__((tls_model("initial-exec")));
__thread ThreadKind t_kind __attribute__((tls_model("initial-exec")));
__thread bool t_creatingOwn __attribute__((tls_model("initial-exec")));

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

} // namespace

std::int64_t realNs(int clock)
{
    timespec now{};
    realClockGettime(clockid_t(clock), &now);
    return toNs(now);
}

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

    bool recording = true;
    std::vector<std::uint64_t> sleeps;
    std::size_t sleepCalls = 0;
    std::size_t failAt = 0; // absolute call number that fails, 0 = none
    int failError = 0;
    void (*sleepHook)() = nullptr;

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
        w.waiting = false;
        --waiting;
        waiters.erase(std::find(waiters.begin(), waiters.end(), &w));
        if (w.on)
            releasable.fetch_sub(1);
    }

    void wake(Waiter &w)
    {
        virtualNs = std::max(virtualNs, w.deadline);
        w.woken = true;
        stopWaiting(w);
        lastActivity = realNs(CLOCK_MONOTONIC);
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
            const int owner = static_cast<const pthread_mutex_t *>(blocked->on)->__data.__owner;
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
            if (!next)
                return;
            wake(*next);
        }
    }

    void graceCheck()
    {
        if (realNs(CLOCK_MONOTONIC) - lastActivity < std::int64_t(GraceMs) * 1000000)
            return;
        if (Waiter *next = earliest())
            wake(*next);
    }
};

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
    t_waiter.waiting = false;
    t_waiter.tid = 0;
}

Clock &Clock::instance()
{
    static Clock s_instance;
    return s_instance;
}

namespace {

// Set once the clock's state exists. Read without a guard variable on
// purpose: the interposed syscall() is reached from inside the C++ runtime's
// own guard of a function-local static (a contended guard waits on a futex),
// and must not start another guarded initialisation there.
std::atomic<bool> s_stateReady{false};

} // namespace

Clock::State &Clock::state() const
{
    // Never destroyed: threads may still read the clock while the process
    // exits.
    static State *const state = [] {
        State *created = new State();
        pthread_atfork(beforeFork, afterForkParent, afterForkChild);
        return created;
    }();
    s_stateReady.store(true, std::memory_order_release);
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

bool Clock::read(int clock, std::int64_t &ns) const
{
    switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
    case CLOCK_REALTIME_ALARM:
        ns = nowNs();
        return true;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
        ns = nowNs() - state().monotonicOffset;
        return true;
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM:
        ns = nowNs() - state().boottimeOffset;
        return true;
    default:
        return false;
    }
}

std::int64_t Clock::toRealtime(int clock, std::int64_t ns) const
{
    switch (clock) {
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
        return ns + state().monotonicOffset;
    case CLOCK_BOOTTIME:
    case CLOCK_BOOTTIME_ALARM:
        return ns + state().boottimeOffset;
    default:
        return ns;
    }
}

bool Clock::simulates() const
{
    if (t_kind != ThreadKind::Program || !s_stateReady.load(std::memory_order_acquire))
        return false;
    return state().mode.load(std::memory_order_relaxed) != Mode::Real && t_kind == ThreadKind::Program;
}

bool Clock::schedules() const
{
    return state().mode.load(std::memory_order_relaxed) == Mode::Virtual && t_kind == ThreadKind::Program;
}

double Clock::speed() const
{
    return state().speed;
}

std::int64_t Clock::realDeadline(std::int64_t deadlineNs) const
{
    const State &s = state();
    return s.scaledStartMono + std::int64_t(double(deadlineNs - s.scaledStartNs) / s.speed);
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
        us = std::uint64_t(double(us) / s.speed);
    static const auto s_usleep = nextFunction<int (*)(useconds_t)>("usleep");
    const int result = s_usleep(static_cast<useconds_t>(us));
    if (t_kind != ThreadKind::Own)
        afterWait();
    return result;
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

// ---- The interposers --------------------------------------------------------

using kxsim::Clock;

namespace {

// The clock's own conversions, from the simulator's side of this file.
using kxsim::Billion;
using kxsim::toNs;
using kxsim::toTimespec;

template <typename Fn>
Fn real(const char *name)
{
    return kxsim::nextFunction<Fn>(name);
}

bool validTimespec(const timespec *ts)
{
    return ts && ts->tv_nsec >= 0 && ts->tv_nsec < Billion && ts->tv_sec >= 0;
}

// A relative wait of `timeoutMs` (poll's convention: negative is none) as a
// deadline on the program's clock.
std::int64_t deadlineAfterMs(int timeoutMs)
{
    return timeoutMs < 0 ? Clock::NoDeadline : Clock::instance().nowNs() + std::int64_t(timeoutMs) * 1000000;
}

int scaledMs(int timeoutMs)
{
    if (timeoutMs <= 0)
        return timeoutMs;
    return int(std::ceil(double(timeoutMs) / Clock::instance().speed()));
}

} // namespace

extern "C" {

int clock_gettime(clockid_t clock, struct timespec *ts)
{
    static const auto s_fn = real<int (*)(clockid_t, timespec *)>("clock_gettime");
    std::int64_t ns = 0;
    if (kxsim::threadKind() == kxsim::ThreadKind::Program && Clock::instance().mode() != Clock::Mode::Real &&
        Clock::instance().read(clock, ns)) {
        *ts = toTimespec(ns);
        return 0;
    }
    return s_fn(clock, ts);
}

int gettimeofday(struct timeval *__restrict tv, void *__restrict tz)
{
    (void)tz;
    const std::int64_t now = kxsim::threadKind() == kxsim::ThreadKind::Own ? kxsim::realNs(CLOCK_REALTIME)
                                                                          : Clock::instance().nowNs();
    tv->tv_sec = static_cast<time_t>(now / Billion);
    tv->tv_usec = static_cast<suseconds_t>(now % Billion / 1000);
    return 0;
}

time_t time(time_t *t)
{
    const time_t now = kxsim::threadKind() == kxsim::ThreadKind::Program
        ? time_t(Clock::instance().nowNs() / Billion)
        : time_t(kxsim::realNs(CLOCK_REALTIME) / Billion);
    if (t)
        *t = now;
    return now;
}

int usleep(useconds_t us)
{
    return Clock::instance().usleep(us);
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    static const auto s_fn = real<int (*)(const timespec *, timespec *)>("nanosleep");
    Clock &clock = Clock::instance();
    if (!clock.simulates())
        return s_fn(request, remaining);
    if (!validTimespec(request)) {
        errno = EINVAL;
        return -1;
    }
    std::int64_t left = 0;
    const int error = clock.sleepUntil(clock.nowNs() + toNs(*request), &left);
    if (error != 0) {
        if (remaining)
            *remaining = toTimespec(left);
        errno = error;
        return -1;
    }
    return 0;
}

int clock_nanosleep(clockid_t clockId, int flags, const struct timespec *request, struct timespec *remaining)
{
    static const auto s_fn = real<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    Clock &clock = Clock::instance();
    std::int64_t now = 0;
    if (!clock.simulates() || !clock.read(clockId, now))
        return s_fn(clockId, flags, request, remaining);
    if (!validTimespec(request))
        return EINVAL;
    const std::int64_t deadline = (flags & TIMER_ABSTIME) ? clock.toRealtime(clockId, toNs(*request))
                                                          : clock.nowNs() + toNs(*request);
    std::int64_t left = 0;
    const int error = clock.sleepUntil(deadline, &left);
    if (error != 0 && remaining && !(flags & TIMER_ABSTIME))
        *remaining = toTimespec(left);
    return error;
}

unsigned int sleep(unsigned int seconds)
{
    static const auto s_fn = real<unsigned int (*)(unsigned int)>("sleep");
    Clock &clock = Clock::instance();
    if (!clock.simulates())
        return s_fn(seconds);
    std::int64_t left = 0;
    if (clock.sleepUntil(clock.nowNs() + std::int64_t(seconds) * Billion, &left) != 0)
        return unsigned(left / Billion + (left % Billion != 0));
    return 0;
}

} // extern "C"

// ---- Waits on something else with a time limit -------------------------------

namespace {

using CondClockwaitFn = int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);

int realCondClockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock, const timespec *until)
{
    static const auto s_fn = real<CondClockwaitFn>("pthread_cond_clockwait");
    return s_fn(cond, mutex, clock, until);
}

void broadcast(const void *cond)
{
    static const auto s_fn = real<int (*)(pthread_cond_t *)>("pthread_cond_broadcast");
    s_fn(static_cast<pthread_cond_t *>(const_cast<void *>(cond)));
}

timespec realMonotonicIn(std::int64_t ns)
{
    return toTimespec(kxsim::realNs(CLOCK_MONOTONIC) + ns);
}

int simulatedCondWait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clockId, const timespec *until)
{
    Clock &clock = Clock::instance();
    if (!validTimespec(until))
        return EINVAL;
    const std::int64_t deadline = clock.toRealtime(clockId, toNs(*until));
    if (clock.mode() == Clock::Mode::Scaled) {
        const timespec real = toTimespec(clock.realDeadline(deadline));
        return realCondClockwait(cond, mutex, CLOCK_MONOTONIC, &real);
    }
    int result = 0;
    const bool signalled = clock.waitFor(deadline, cond, [&](std::int64_t slice) {
        const timespec real = realMonotonicIn(slice);
        result = realCondClockwait(cond, mutex, CLOCK_MONOTONIC, &real);
        return result != ETIMEDOUT;
    }, broadcast, Clock::WaitKind::Condition);
    return signalled ? result : ETIMEDOUT;
}

// The clock a condition was made for with pthread_condattr_setclock: glibc
// keeps it in bit 1 of the condition's __wrefs.
clockid_t conditionClock(const pthread_cond_t *cond)
{
    return (cond->__data.__wrefs >> 1) & 1 ? CLOCK_MONOTONIC : CLOCK_REALTIME;
}

} // namespace

extern "C" {

int pthread_cond_timedwait(pthread_cond_t *__restrict cond, pthread_mutex_t *__restrict mutex,
                           const struct timespec *__restrict until)
{
    using Fn = int (*)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
    static const auto s_fn = real<Fn>("pthread_cond_timedwait");
    if (!Clock::instance().simulates())
        return s_fn(cond, mutex, until);
    return simulatedCondWait(cond, mutex, conditionClock(cond), until);
}

int pthread_cond_clockwait(pthread_cond_t *__restrict cond, pthread_mutex_t *__restrict mutex, clockid_t clockId,
                           const struct timespec *__restrict until)
{
    std::int64_t now = 0;
    if (!Clock::instance().simulates() || !Clock::instance().read(clockId, now))
        return realCondClockwait(cond, mutex, clockId, until);
    return simulatedCondWait(cond, mutex, clockId, until);
}

// Descriptor waits: a time limit is a deadline on the program's clock, and
// the wait also ends as soon as a descriptor is ready in real time. At
// --speed max, data that takes real time to come from outside the program
// can miss a short time limit: such programs want a finite speed.
int poll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    static const auto s_fn = real<int (*)(pollfd *, nfds_t, int)>("poll");
    int answer = 0;
    if (kxsim::pollDevice(fds, count, timeoutMs, answer))
        return answer;
    Clock &clock = Clock::instance();
    if (timeoutMs == 0 || !clock.simulates())
        return s_fn(fds, count, timeoutMs);
    if (clock.mode() == Clock::Mode::Scaled)
        return s_fn(fds, count, scaledMs(timeoutMs));
    int result = s_fn(fds, count, 0);
    if (result != 0)
        return result;
    if (!clock.waitFor(deadlineAfterMs(timeoutMs), nullptr, [&](std::int64_t slice) {
            result = s_fn(fds, count, int(slice / 1000000));
            return result != 0;
        }))
        return 0;
    return result;
}

int ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask)
{
    using Fn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);
    static const auto s_fn = real<Fn>("ppoll");
    Clock &clock = Clock::instance();
    if (!clock.simulates() || (timeout && timeout->tv_sec == 0 && timeout->tv_nsec == 0))
        return s_fn(fds, count, timeout, mask);
    if (timeout && !validTimespec(timeout)) {
        errno = EINVAL;
        return -1;
    }
    if (clock.mode() == Clock::Mode::Scaled) {
        if (!timeout)
            return s_fn(fds, count, timeout, mask);
        const timespec scaled = toTimespec(std::int64_t(double(toNs(*timeout)) / clock.speed()));
        return s_fn(fds, count, &scaled, mask);
    }
    const timespec zero{};
    int result = s_fn(fds, count, &zero, mask);
    if (result != 0)
        return result;
    const std::int64_t deadline = timeout ? clock.nowNs() + toNs(*timeout) : Clock::NoDeadline;
    if (!clock.waitFor(deadline, nullptr, [&](std::int64_t slice) {
            const timespec piece = toTimespec(slice);
            result = s_fn(fds, count, &piece, mask);
            return result != 0;
        }))
        return 0;
    return result;
}

int select(int count, fd_set *__restrict readable, fd_set *__restrict writable, fd_set *__restrict failed,
           struct timeval *__restrict timeout)
{
    using Fn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
    static const auto s_fn = real<Fn>("select");
    Clock &clock = Clock::instance();
    if (!clock.simulates() || (timeout && timeout->tv_sec == 0 && timeout->tv_usec == 0))
        return s_fn(count, readable, writable, failed, timeout);
    if (timeout && (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000)) {
        errno = EINVAL;
        return -1;
    }
    const std::int64_t limit = timeout ? (std::int64_t(timeout->tv_sec) * 1000000 + timeout->tv_usec) * 1000 : -1;
    if (clock.mode() == Clock::Mode::Scaled) {
        if (!timeout)
            return s_fn(count, readable, writable, failed, timeout);
        const std::int64_t realUs = std::int64_t(std::ceil(double(limit) / 1000 / clock.speed()));
        timeval scaled{time_t(realUs / 1000000), suseconds_t(realUs % 1000000)};
        const int result = s_fn(count, readable, writable, failed, &scaled);
        const std::int64_t leftUs = std::int64_t(double(scaled.tv_sec * 1000000 + scaled.tv_usec) * clock.speed());
        *timeout = timeval{time_t(leftUs / 1000000), suseconds_t(leftUs % 1000000)};
        return result;
    }
    fd_set sets[3];
    fd_set *given[3] = {readable, writable, failed};
    for (int i = 0; i < 3; ++i)
        if (given[i])
            sets[i] = *given[i];
    const std::int64_t start = clock.nowNs();
    int result = 0;
    const bool ready = clock.waitFor(timeout ? start + limit : Clock::NoDeadline, nullptr, [&](std::int64_t slice) {
        for (int i = 0; i < 3; ++i)
            if (given[i])
                *given[i] = sets[i];
        timeval piece{0, suseconds_t(slice / 1000)};
        result = s_fn(count, readable, writable, failed, &piece);
        return result != 0;
    });
    if (!ready) {
        for (fd_set *set : given)
            if (set)
                FD_ZERO(set);
        result = 0;
    }
    // Linux leaves the time not slept in the caller's timeval.
    if (timeout) {
        const std::int64_t leftUs = std::max<std::int64_t>(0, start + limit - clock.nowNs()) / 1000;
        *timeout = timeval{time_t(leftUs / 1000000), suseconds_t(leftUs % 1000000)};
    }
    return result;
}

int epoll_wait(int epfd, struct epoll_event *events, int most, int timeoutMs)
{
    static const auto s_fn = real<int (*)(int, epoll_event *, int, int)>("epoll_wait");
    Clock &clock = Clock::instance();
    if (timeoutMs == 0 || !clock.simulates())
        return s_fn(epfd, events, most, timeoutMs);
    if (clock.mode() == Clock::Mode::Scaled)
        return s_fn(epfd, events, most, scaledMs(timeoutMs));
    int result = s_fn(epfd, events, most, 0);
    if (result != 0)
        return result;
    if (!clock.waitFor(deadlineAfterMs(timeoutMs), nullptr, [&](std::int64_t slice) {
            result = s_fn(epfd, events, most, int(slice / 1000000));
            return result != 0;
        }))
        return 0;
    return result;
}

} // extern "C"

// ---- The futex waits of the C++ library ---------------------------------------
//
// std::future's timed waits and the atomic waits reach the kernel through
// syscall(SYS_futex) with deadlines read from steady_clock, that is from the
// simulated clock: they are simulated like a timed condition wait, and a wake
// of the futex releases its waiters.

namespace {

long realSyscall(long number, long a, long b, long c, long d, long e, long f)
{
    static const auto s_fn = real<long (*)(long, ...)>("syscall");
    return s_fn(number, a, b, c, d, e, f);
}

void wakePrivateFutex(const void *address)
{
    realSyscall(SYS_futex, long(address), FUTEX_WAKE_PRIVATE, INT_MAX, 0, 0, 0);
}

void wakeSharedFutex(const void *address)
{
    realSyscall(SYS_futex, long(address), FUTEX_WAKE, INT_MAX, 0, 0, 0);
}

long simulatedFutex(const long *a)
{
    Clock &clock = Clock::instance();
    const void *address = reinterpret_cast<const void *>(a[0]);
    const int op = int(a[1]);
    const int command = op & FUTEX_CMD_MASK;
    if (command == FUTEX_WAKE || command == FUTEX_WAKE_BITSET) {
        clock.release(address);
        return realSyscall(SYS_futex, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    const auto *timeout = reinterpret_cast<const timespec *>(a[3]);
    if ((command != FUTEX_WAIT && command != FUTEX_WAIT_BITSET) || (timeout && !validTimespec(timeout)))
        return realSyscall(SYS_futex, a[0], a[1], a[2], a[3], a[4], a[5]);
    const int privateFlag = op & FUTEX_PRIVATE_FLAG;
    const long bitset = command == FUTEX_WAIT_BITSET ? a[5] : long(FUTEX_BITSET_MATCH_ANY);
    std::int64_t deadline = Clock::NoDeadline;
    if (timeout)
        deadline = command == FUTEX_WAIT
            ? clock.nowNs() + toNs(*timeout)
            : clock.toRealtime((op & FUTEX_CLOCK_REALTIME) ? CLOCK_REALTIME : CLOCK_MONOTONIC, toNs(*timeout));
    const long waitOp = FUTEX_WAIT_BITSET | privateFlag;
    // The kernel's own first check: a word that has changed already means
    // the wake-up came, and the clock must not move for this wait.
    if (__atomic_load_n(static_cast<const int *>(address), __ATOMIC_SEQ_CST) != int(a[2])) {
        errno = EAGAIN;
        return -1;
    }
    if (clock.mode() == Clock::Mode::Scaled) {
        if (!timeout)
            return realSyscall(SYS_futex, a[0], a[1], a[2], a[3], a[4], a[5]);
        const timespec until = toTimespec(clock.realDeadline(deadline));
        return realSyscall(SYS_futex, a[0], waitOp, a[2], long(&until), 0, bitset);
    }
    long result = 0;
    int error = 0;
    const bool ended = clock.waitFor(deadline, address, [&](std::int64_t slice) {
        const timespec until = realMonotonicIn(slice);
        result = realSyscall(SYS_futex, a[0], waitOp, a[2], long(&until), 0, bitset);
        error = errno;
        return !(result == -1 && error == ETIMEDOUT);
    }, privateFlag ? wakePrivateFutex : wakeSharedFutex);
    if (!ended) {
        errno = ETIMEDOUT;
        return -1;
    }
    errno = error;
    return result;
}

} // namespace

extern "C" long syscall(long number, ...)
{
    va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (long &argument : a)
        argument = va_arg(arguments, long);
    va_end(arguments);
    Clock &clock = Clock::instance();
    if (clock.simulates()) {
        std::int64_t ns = 0;
        if (number == SYS_clock_gettime && clock.read(int(a[0]), ns)) {
            *reinterpret_cast<timespec *>(a[1]) = toTimespec(ns);
            return 0;
        }
        if (number == SYS_futex)
            return simulatedFutex(a);
    }
    return realSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
