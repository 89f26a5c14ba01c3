#include "fake_clock.h"

#include "fake_device.h"

#include <cerrno>
#include <mutex>

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

using UsleepFn = int (*)(useconds_t);

int realUsleep(useconds_t us)
{
    static const UsleepFn s_usleep = nextFunction<UsleepFn>("usleep");
    return s_usleep(us);
}

std::int64_t realNowUs()
{
    // clock_gettime is not interposed, so it always reads the real clock.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t monotonicUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

struct Clock::State
{
    mutable std::mutex lock;
    Mode mode = Mode::Real;
    double speed = 1.0;
    std::int64_t virtualNowUs = 0;
    std::int64_t scaledStartUs = 0;   // time of day when scaling began
    std::int64_t scaledStartMono = 0; // monotonic time then
    bool recording = true;
    std::vector<std::uint64_t> sleeps;
    std::size_t sleepCalls = 0;
    std::size_t failAt = 0; // absolute call number that fails, 0 = none
    int failError = 0;
    void (*sleepHook)() = nullptr;

    std::int64_t now() const
    {
        switch (mode) {
        case Mode::Virtual:
            return virtualNowUs;
        case Mode::Scaled:
            return scaledStartUs + std::int64_t((monotonicUs() - scaledStartMono) * speed);
        case Mode::Real:
            break;
        }
        return realNowUs();
    }
};

Clock &Clock::instance()
{
    static Clock s_instance;
    return s_instance;
}

Clock::State &Clock::state() const
{
    static State s_state;
    return s_state;
}

void Clock::setMode(Mode mode, double speed)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    const std::int64_t now = s.now();
    s.mode = mode;
    s.speed = speed > 0 ? speed : 1.0;
    s.virtualNowUs = now;
    s.scaledStartUs = now;
    s.scaledStartMono = monotonicUs();
}

Clock::Mode Clock::mode() const
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.mode;
}

void Clock::setNowUs(std::int64_t usSinceEpoch)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.virtualNowUs = usSinceEpoch;
}

void Clock::advanceUs(std::int64_t us)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.virtualNowUs += us;
}

std::int64_t Clock::nowUs() const
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.now();
}

std::vector<std::uint64_t> Clock::sleeps() const
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.sleeps;
}

std::size_t Clock::sleepCount() const
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.sleeps.size();
}

void Clock::setRecording(bool on)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.recording = on;
}

void Clock::failSleep(std::size_t n, int error)
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failAt = n == 0 ? 0 : s.sleepCalls + n;
    s.failError = error;
}

void Clock::setSleepHook(void (*hook)())
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sleepHook = hook;
}

void Clock::reset()
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.sleeps.clear();
    s.recording = true;
    s.failAt = 0;
}

int Clock::usleep(std::uint64_t us)
{
    State &s = state();
    Mode mode;
    double speed;
    void (*hook)();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ++s.sleepCalls;
        if (s.recording)
            s.sleeps.push_back(us);
        if (s.failAt != 0 && s.sleepCalls == s.failAt) {
            s.failAt = 0;
            errno = s.failError;
            return -1;
        }
        mode = s.mode;
        speed = s.speed;
        hook = s.sleepHook;
        if (mode == Mode::Virtual)
            s.virtualNowUs += std::int64_t(us);
    }
    int result = 0;
    if (mode == Mode::Scaled)
        result = realUsleep(static_cast<useconds_t>(double(us) / speed));
    else if (mode == Mode::Real)
        result = realUsleep(static_cast<useconds_t>(us));
    if (hook) {
        const int error = errno;
        hook();
        errno = error;
    }
    return result;
}

std::int64_t Clock::gettimeofdayUs()
{
    State &s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.now();
}

} // namespace kxsim

extern "C" {

int usleep(useconds_t us)
{
    return kxsim::Clock::instance().usleep(us);
}

int gettimeofday(struct timeval *__restrict tv, void *__restrict tz)
{
    (void)tz;
    const std::int64_t now = kxsim::Clock::instance().gettimeofdayUs();
    {
        tv->tv_sec = static_cast<time_t>(now / 1000000);
        tv->tv_usec = static_cast<suseconds_t>(now % 1000000);
    }
    return 0;
}

} // extern "C"
