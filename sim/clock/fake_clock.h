// Time as a program sees it. The clock (clock/) interposes every clock a program
// reads (clock_gettime, gettimeofday, time) and every call that waits for
// time (nanosleep, clock_nanosleep, usleep, sleep, the timed condition
// waits, poll, ppoll, select, epoll_wait). Three modes:
//   Real     - all of them go to the C library (the default);
//   Virtual  - a scheduled clock that costs no real time: it jumps to the
//              earliest pending deadline only when every thread of the program
//              is waiting, and wakes that one thread alone, so each thread's
//              sleeps add up exactly as they would on the board;
//   Scaled   - the clock runs `speed` times faster than real time for every
//              thread: a wait of d lasts d / speed real time, the clocks read
//              the start time plus speed times the real time elapsed since.
//
// How the virtual clock knows that every thread waits: the thread
// interposers (preload/interposers.cpp, in the simulator only) count
// the threads the program creates and report the
// waits that end when another thread acts (a contended mutex, an untimed
// condition wait, a join) as waiting too. A thread held by something no
// interposer sees (a read on a pipe, a busy loop) counts as running; so that
// it cannot freeze the clock, a sleeper that has seen no thread start or end
// a wait for GraceMs of real time moves the clock to the earliest deadline
// anyway.
#ifndef KESTRIX_SIM_FAKE_CLOCK_H
#define KESTRIX_SIM_FAKE_CLOCK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kxsim {

class Clock
{
public:
    enum class Mode { Real, Virtual, Scaled };

    // Real time after which a silent program lets the virtual clock move on.
    static constexpr int GraceMs = 100;

    static Clock &instance();

    // Switches mode; the clock continues from the current time of day.
    void setMode(Mode mode, double speed = 1.0);
    Mode mode() const;
    // Scaled mode: the time of day at which scaling began and the real
    // monotonic time then. Processes that share one run share these.
    void scaledOrigin(std::int64_t &startNs, std::int64_t &startMonoNs) const;
    void setScaledOrigin(std::int64_t startNs, std::int64_t startMonoNs);

    // Virtual mode: the current virtual time, in microseconds since the
    // epoch, and a way to set or move it (every clock moves with it).
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

    // Called after every wait of a program thread that ended at its time,
    // outside the clock's lock (null for none): the simulator catches up with
    // the time that passed.
    void setSleepHook(void (*hook)());

    // Forgets recorded sleeps and injected failures and turns recording back
    // on; the mode stays.
    void reset();

    // ---- For the interposers; not for tests --------------------------------

    // Nanoseconds of CLOCK_REALTIME as the program sees it.
    std::int64_t nowNs() const;
    // The program's reading of `clock` (false: not a clock we simulate).
    bool read(int clock, std::int64_t &ns) const;
    // `ns` on `clock` as a time of day on the program's clock.
    std::int64_t toRealtime(int clock, std::int64_t ns) const;

    // Sleeps the calling thread until the program's time of day reaches
    // `deadlineNs`. Returns 0, or an errno value when a real (scaled) sleep
    // was interrupted; `remainingNs` then holds what was left.
    int sleepUntil(std::int64_t deadlineNs, std::int64_t *remainingNs = nullptr);

    // A wait that ends when `attempt(realTimeoutNs)` reports true (it makes
    // one real wait of at most that long) or when the program's time of day
    // reaches `deadlineNs` (NoDeadline: never). `on` names what another
    // thread's release() ends the wait on (a mutex, a condition, a futex, a
    // thread), or null. `kick`, when given, cuts the real wait short once the
    // deadline comes (a broadcast of the condition, say). Returns true when
    // the attempt succeeded.
    static constexpr std::int64_t NoDeadline = INT64_MAX;
    // `kind` tells the scheduler what `on` is: a thread blocked on a mutex
    // held by a thread between two real waits of a condition is not idle.
    enum class WaitKind { Other, Condition, Mutex };
    bool waitFor(std::int64_t deadlineNs, const void *on, const std::function<bool(std::int64_t)> &attempt,
                 void (*kick)(const void *on) = nullptr, WaitKind kind = WaitKind::Other);
    // Another thread is about to end the waits on `on`: those threads count
    // as running from now on.
    void release(const void *on);

    // True when the calling thread's waits are simulated: a program thread
    // while the mode is not Real.
    bool simulates() const;
    // True when, on top of that, the mode is Virtual: waits go through the
    // scheduler.
    bool schedules() const;
    double speed() const;
    // Real monotonic nanoseconds at which the program's time of day reaches
    // `deadlineNs` (Scaled mode).
    std::int64_t realDeadline(std::int64_t deadlineNs) const;

    // Virtual mode: when no program thread waits for a deadline and none has
    // begun or ended a wait for GraceMs of real time (they compute, or are
    // held where no interposer sees), the clock moves on by the real time
    // that passed, so that a program that never waits still reaches its
    // duration. The simulator calls it every few tens of milliseconds.
    void followRealTime();

    // Other programs that share this one's virtual time (the robots of a
    // match). While set, the clock does not move on its own when every
    // program thread waits: it asks the peers, which grant the earliest
    // deadline only once every program waits; the peers' grant comes back
    // through takeGrant(). Following real time is off then.
    struct Peers
    {
        virtual ~Peers() = default;
        // Every program thread waits, the earliest until `deadlineNs`
        // (NoDeadline for none). True: that deadline is granted at once.
        virtual bool idle(std::int64_t deadlineNs) = 0;
        // A thread runs again before a grant came.
        virtual void busy() = 0;
        // The grants made to this program so far (a count that moves on
        // with each), and the time of the latest.
        virtual std::uint32_t grants() const = 0;
        virtual std::int64_t grantedNs() const = 0;
        // Waits until grants() moves on from `seen`, nudge() is called or
        // `timeoutMs` of real time pass. Called without the clock's lock,
        // from no interposer.
        virtual void awaitGrant(std::uint32_t seen, int timeoutMs) = 0;
        // Ends every awaitGrant() now, grant or not.
        virtual void nudge() = 0;
    };
    void setPeers(Peers *peers);
    // Takes a grant the peers made since the last one taken, if any: the
    // threads waiting until its time wake. Any thread may call it, as often
    // as it likes; each grant is taken once.
    void takeGrant();

    // Something outside the program that must see everything the program
    // did at one time before the clock moves past it (the launcher reading
    // the program's console under a challenge). Virtual mode only; both are
    // called under the clock's lock, so neither may wait on the clock.
    struct Watcher
    {
        virtual ~Watcher() = default;
        // The clock is about to move on from its present time.
        virtual void beforeMove() = 0;
        // It moved to the time of day `ns`.
        virtual void moved(std::int64_t ns) = 0;
    };
    void setWatcher(Watcher *watcher);

    // usleep as the program sees it: recorded, possibly failed on purpose,
    // then slept on the program's clock.
    int usleep(std::uint64_t us);

    // Threads of the program (preload/interposers.cpp).
    void threadAdded();
    void threadGone();

private:
    Clock() = default;
    struct State;
    State &state() const;
    void afterWait();
    static void beforeFork();
    static void afterForkParent();
    static void afterForkChild();
};

// While one of these lives on a thread, the threads it creates are the
// simulator's own: they do not count as the program's, and every time call
// they make goes to the C library unchanged (they read the program's clock
// with Clock::nowUs()).
class OwnThreads
{
public:
    OwnThreads();
    ~OwnThreads();
    OwnThreads(const OwnThreads &) = delete;
    OwnThreads &operator=(const OwnThreads &) = delete;

private:
    bool m_before;
};

// While one of these lives on a program's thread, the thread moves the
// simulated world on, and the program's clock stands still. The physics
// engine times its own steps with gettimeofday, thousands of times a
// simulated second: each call reads the time the clock stood at when this
// began, without taking the clock's lock again.
class MovingTheWorld
{
public:
    MovingTheWorld();
    ~MovingTheWorld();
    MovingTheWorld(const MovingTheWorld &) = delete;
    MovingTheWorld &operator=(const MovingTheWorld &) = delete;

private:
    bool m_before;
    std::int64_t m_beforeNs;
};
// While a MovingTheWorld lives on the calling thread: true, and the time.
bool movingTheWorld(std::int64_t &ns);

// Who the calling thread is, as the clock sees it. The simulator makes its
// program's main thread and every thread that one creates Program threads.
// Threads it was never told about (every thread of a test program) keep the
// fixtures' simple clock: in Virtual mode usleep moves the one clock on at
// once, gettimeofday reads it, every other call goes to the C library.
enum class ThreadKind { Unknown, Program, Own, Ended };
ThreadKind threadKind();
void setThreadKind(ThreadKind kind);
bool creatingOwnThreads();

// The C library's own clock_gettime, for code that needs real time.
std::int64_t realNs(int clock);

} // namespace kxsim

#endif
