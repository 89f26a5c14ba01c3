// Time as the library sees it through usleep and gettimeofday, which
// fake_clock.cpp interposes. Three modes:
//   Real     - both go to the C library (the default);
//   Virtual  - usleep returns at once and moves a virtual clock on, which
//              gettimeofday reads: sleeps cost no real time;
//   Scaled   - the clock runs `speed` times faster than real time for every
//              thread: usleep(us) sleeps us / speed, gettimeofday reads the
//              start time plus speed times the real time elapsed since.
#ifndef KESTRIX_SIM_FAKE_CLOCK_H
#define KESTRIX_SIM_FAKE_CLOCK_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxsim {

class Clock
{
public:
    enum class Mode { Real, Virtual, Scaled };

    static Clock &instance();

    // Switches mode; the clock continues from the current time of day.
    void setMode(Mode mode, double speed = 1.0);
    Mode mode() const;

    // Virtual mode: the current virtual time, in microseconds since the
    // epoch, and a way to set or move it.
    void setNowUs(std::int64_t usSinceEpoch);
    void advanceUs(std::int64_t us);
    // Microseconds since the epoch in the current mode.
    std::int64_t nowUs() const;

    // Every usleep request since the last reset, in order (while recording).
    std::vector<std::uint64_t> sleeps() const;
    std::size_t sleepCount() const;
    void setRecording(bool on);

    // The `n`-th usleep call from now (1 = the next) fails with `error`
    // (EINTR stands for a signal that interrupted the sleep) without sleeping.
    void failSleep(std::size_t n, int error);

    // Called after every usleep, outside the clock's lock (null for none):
    // the simulator catches up with the time that passed.
    void setSleepHook(void (*hook)());

    // Forgets recorded sleeps and injected failures and turns recording back
    // on; the mode stays.
    void reset();

    // Called by the interposers; not for tests.
    int usleep(std::uint64_t us);
    std::int64_t gettimeofdayUs();

private:
    Clock() = default;
    struct State;
    State &state() const;
};

} // namespace kxsim

#endif
