// What only the preloaded simulator interposes of the program's calls, beyond
// the devices (fakes/) and the time and waits (clock/): the program's threads,
// and the labels it gives its buttons.
//
// The threads of a simulated program, as the virtual clock needs them (see
// fake_clock.h): how many there are, and which of them wait on one another.
// pthread_create counts a thread in and wraps its start routine so that it is
// counted out however it ends. A contended mutex, an untimed condition wait
// and a join count as waiting, and the unlock, signal or thread end that ends
// them counts the waiter as running again before it even wakes, so the clock
// never moves while a released thread has yet to run.
//
// Only the simulator carries these: the test programs create threads of
// their own that the fixtures do not expect to be counted.
#include "clock/fake_clock.h"
#include "fakes/fake_device.h"
#include "preload/simulation.h"

#include <cerrno>

#include <pthread.h>
#include <time.h>

namespace {

using kxsim::Clock;
using kxsim::ThreadKind;

constexpr std::int64_t Billion = 1000000000;

template <typename Fn>
Fn real(const char *name)
{
    return kxsim::nextFunction<Fn>(name);
}

timespec realIn(int clock, std::int64_t ns)
{
    const std::int64_t at = kxsim::realNs(clock) + ns;
    timespec ts{};
    ts.tv_sec = time_t(at / Billion);
    ts.tv_nsec = long(at % Billion);
    return ts;
}

struct Start
{
    void *(*routine)(void *);
    void *argument;
    ThreadKind kind;
};

// Counts the program's thread out when it returns, calls pthread_exit or is
// cancelled (the last two unwind through this frame).
class CountedOut
{
public:
    ~CountedOut() { leave(); }
    static void leave()
    {
        if (kxsim::threadKind() != ThreadKind::Program)
            return;
        kxsim::setThreadKind(ThreadKind::Ended);
        Clock::instance().release(reinterpret_cast<const void *>(pthread_self()));
        Clock::instance().threadGone();
    }
};

void *startThread(void *start)
{
    const Start s = *static_cast<Start *>(start);
    delete static_cast<Start *>(start);
    kxsim::setThreadKind(s.kind);
    CountedOut guard;
    return s.routine(s.argument);
}

} // namespace

extern "C" {

int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*routine)(void *), void *argument)
{
    using Fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto s_fn = real<Fn>("pthread_create");
    // A program thread's threads are the program's, unless the simulator
    // creates them; the simulator's threads' threads are its own.
    ThreadKind kind = kxsim::threadKind() == ThreadKind::Program ? ThreadKind::Program : ThreadKind::Unknown;
    if (kxsim::creatingOwnThreads())
        kind = ThreadKind::Own;
    // Counted before it exists, so that the clock cannot move between its
    // creation and its first step.
    if (kind == ThreadKind::Program)
        Clock::instance().threadAdded();
    Start *start = new Start{routine, argument, kind};
    const int result = s_fn(thread, attributes, startThread, start);
    if (result != 0) {
        delete start;
        if (kind == ThreadKind::Program)
            Clock::instance().threadGone();
    }
    return result;
}

void pthread_exit(void *value)
{
    static const auto s_fn = real<void (*)(void *)>("pthread_exit");
    // The main thread has no wrapper to count it out.
    CountedOut::leave();
    s_fn(value);
    __builtin_unreachable();
}

int pthread_join(pthread_t thread, void **value)
{
    static const auto s_fn = real<int (*)(pthread_t, void **)>("pthread_join");
    static const auto s_clockjoin = real<int (*)(pthread_t, void **, clockid_t, const timespec *)>("pthread_clockjoin_np");
    if (!Clock::instance().schedules())
        return s_fn(thread, value);
    int result = 0;
    Clock::instance().waitFor(Clock::NoDeadline, reinterpret_cast<const void *>(thread), [&](std::int64_t slice) {
        const timespec until = realIn(CLOCK_MONOTONIC, slice);
        result = s_clockjoin(thread, value, CLOCK_MONOTONIC, &until);
        return result != ETIMEDOUT;
    });
    return result;
}

int pthread_mutex_lock(pthread_mutex_t *mutex)
{
    static const auto s_trylock = real<int (*)(pthread_mutex_t *)>("pthread_mutex_trylock");
    static const auto s_lock = real<int (*)(pthread_mutex_t *)>("pthread_mutex_lock");
    static const auto s_clocklock =
        real<int (*)(pthread_mutex_t *, clockid_t, const timespec *)>("pthread_mutex_clocklock");
    const int tried = s_trylock(mutex);
    if (tried != EBUSY)
        return tried;
    if (!Clock::instance().schedules())
        return s_lock(mutex);
    int result = 0;
    Clock::instance().waitFor(Clock::NoDeadline, mutex, [&](std::int64_t slice) {
        const timespec until = realIn(CLOCK_MONOTONIC, slice);
        result = s_clocklock(mutex, CLOCK_MONOTONIC, &until);
        return result != ETIMEDOUT;
    }, nullptr, Clock::WaitKind::Mutex);
    return result;
}

int pthread_mutex_unlock(pthread_mutex_t *mutex)
{
    static const auto s_fn = real<int (*)(pthread_mutex_t *)>("pthread_mutex_unlock");
    const int result = s_fn(mutex);
    Clock::instance().release(mutex);
    return result;
}

int pthread_cond_wait(pthread_cond_t *__restrict cond, pthread_mutex_t *__restrict mutex)
{
    static const auto s_fn = real<int (*)(pthread_cond_t *, pthread_mutex_t *)>("pthread_cond_wait");
    static const auto s_clockwait =
        real<int (*)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *)>("pthread_cond_clockwait");
    if (!Clock::instance().schedules())
        return s_fn(cond, mutex);
    int result = 0;
    Clock::instance().waitFor(Clock::NoDeadline, cond, [&](std::int64_t slice) {
        const timespec until = realIn(CLOCK_MONOTONIC, slice);
        result = s_clockwait(cond, mutex, CLOCK_MONOTONIC, &until);
        return result != ETIMEDOUT;
    }, nullptr, Clock::WaitKind::Condition);
    return result;
}

int pthread_cond_signal(pthread_cond_t *cond)
{
    static const auto s_fn = real<int (*)(pthread_cond_t *)>("pthread_cond_signal");
    Clock::instance().release(cond);
    return s_fn(cond);
}

int pthread_cond_broadcast(pthread_cond_t *cond)
{
    static const auto s_fn = real<int (*)(pthread_cond_t *)>("pthread_cond_broadcast");
    Clock::instance().release(cond);
    return s_fn(cond);
}

} // extern "C"

// ---- Buttons' labels ---------------------------------------------------------

// The labels a program sets on its buttons, for the panel: the library's
// own set_X_button_text, interposed at the dynamic linker as the system
// calls are, then passed on unchanged. A program that labels its buttons
// another way (the C++ objects, or the library linked in statically) keeps
// its labels to itself.

namespace {

template <int Id>
void label(const char *name, const char *text)
{
    using SetText = void (*)(const char *);
    static const SetText s_next = kxsim::nextFunction<SetText>(name);
    kxsim::Simulation::instance().setButtonText(Id, text);
    if (s_next)
        s_next(text);
}

} // namespace

extern "C" {

void set_a_button_text(const char *text) { label<0>("set_a_button_text", text); }
void set_b_button_text(const char *text) { label<1>("set_b_button_text", text); }
void set_c_button_text(const char *text) { label<2>("set_c_button_text", text); }
void set_x_button_text(const char *text) { label<3>("set_x_button_text", text); }
void set_y_button_text(const char *text) { label<4>("set_y_button_text", text); }
void set_z_button_text(const char *text) { label<5>("set_z_button_text", text); }

} // extern "C"
