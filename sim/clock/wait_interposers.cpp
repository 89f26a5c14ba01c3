// The interposers of the waits on something else with a time limit
// (conditions, descriptors, the C++ library's futexes): under virtual time a
// time limit is a deadline on the program's clock, and the wait ends early
// when what it waits on comes.
#include "clock/clock_state.h"

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
#include <time.h>
#include <unistd.h>

namespace {

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

// ---- Waits on something else with a time limit -------------------------------

namespace {


int realCondClockwait(pthread_cond_t *cond, pthread_mutex_t *mutex, clockid_t clock, const timespec *until)
{
    static const auto s_fn = real<kxsim::CondClockwaitFn>("pthread_cond_clockwait");
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

// The call carries no count of its arguments, so all six are taken, as the
// C library's own syscall() takes them: the sixth comes from the caller's
// stack, where a caller that passed fewer keeps something else, read and
// never used. AddressSanitizer would call that read an underflow of the
// caller's frame, which it is not for this calling convention.
extern "C" __attribute__((no_sanitize_address)) long syscall(long number, ...)
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
