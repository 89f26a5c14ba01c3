// The interposers of the time calls: the clocks a program reads and the
// sleeps it takes follow the simulated clock on the program's threads.
#include "clock/clock_state.h"

#include <cerrno>

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

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
    std::int64_t now;
    if (kxsim::threadKind() == kxsim::ThreadKind::Own)
        now = kxsim::realNs(CLOCK_REALTIME);
    else if (!kxsim::movingTheWorld(now))
        now = Clock::instance().nowNs();
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
