// The state the simulated program shares with the launcher: a block of
// memory the launcher maps before it starts the program. The program's side
// publishes the controller's state into it while it runs, and the launcher
// reads it then for the panel (snapshot()) and once the program has ended,
// however it ended, for the summary.
#ifndef KESTRIX_SIM_SIM_STATUS_H
#define KESTRIX_SIM_SIM_STATUS_H

#include "model/sim_record.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <sched.h>
#include <time.h>

namespace kxsim {

// The controller's screen as the simulator shows it on the panel: 32 bits
// per pixel, 0x00RRGGBB.
constexpr unsigned PanelScreenColumns = 320;
constexpr unsigned PanelScreenRows = 240;

// A control from the panel (kestrix-sim --panel) to the simulated program.
struct PanelCommand
{
    enum Kind : std::uint8_t { Button, Analog, Digital, Pause, Resume, Step, Speed, Pose };
    Kind kind;
    std::int8_t port;       // button 0 a .. 6 side; analog 0-5; digital 0-15
    std::int32_t value;     // pressed 1/0; analog 0-4095, digital 0/1, -1 for nothing connected
    double a, b, c;         // Speed: factor (0 for max); Pose: x, y, heading
};

// The launcher's panel server writes commands, a thread of the simulator in
// the program takes them; both sides only ever move their own counter on.
struct PanelChannel
{
    static constexpr std::uint32_t Capacity = 64;
    std::atomic<std::uint32_t> written; // commands put in by the launcher
    std::atomic<std::uint32_t> taken;   // commands applied by the program's side
    PanelCommand ring[Capacity];
    // What the program's side reports back.
    std::atomic<int> listening;         // 1 once commands are taken
    std::atomic<int> paused;
    std::atomic<std::int64_t> speedMillis; // clock speed x 1000, 0 for max
    std::atomic<std::int64_t> lastTakenRealNs; // CLOCK_MONOTONIC when the last command was applied
};

// The controller's state as the program's side publishes it after each
// exchange, all of it at once.
struct ControllerStatus
{
    std::uint64_t exchanges;
    double motorPosition[4];  // ticks
    double motorSpeed[4];     // ticks/s
    std::uint8_t modes;       // register 56
    std::uint8_t directions;  // register 57
    std::uint8_t motorStatus; // register 58
    std::uint8_t servoEnables; // register 59
    std::uint16_t motorDuty[4];    // PWM duty commands, 0-400
    std::int16_t motorVelocity[4]; // PID velocity commands, ticks/s
    std::uint16_t servoCommand[4]; // pulse commands, us
    double servoShaft[4];          // shaft positions, us of pulse
    std::uint16_t digitalIn, digitalOut, digitalPullups, digitalDirections;
    std::uint16_t analog[6];
    std::int16_t accel[3], gyro[3], compass[3]; // the inertial sensors' registers: x, y, z
    std::uint8_t analogPullups;
    std::uint8_t buttonsDown;      // bit per button: a b c x y z side
    char buttonText[6][24];        // the labels the program set on a .. z, cut short, 0-ended
    double batteryVolts;
    // The robot's pose (with a world or once the mobile base moved it).
    std::uint8_t hasPose;
    std::uint8_t bumped;
    double x, y, headingDeg;  // metres, degrees counter-clockwise from +x
    double travelled, turned; // metres forward, degrees counter-clockwise in all
    // The mechanisms the world gives the robot (bit 0 a claw, 1 an arm, 2 a
    // paddle) and their state.
    std::uint32_t mechanisms;
    std::int32_t heldPiece;                 // the piece the claw grips, -1 for none
    float clawGap, armHeight, paddleDeg;    // metres, metres, degrees from the heading
    // The world's pieces where they are now, the first MaxShownPieces of them.
    static constexpr std::size_t MaxShownPieces = 16;
    std::uint32_t pieceCount;
    float pieces[MaxShownPieces][3]; // x, y metres; heading degrees
};

static_assert(sizeof(ControllerStatus) % 4 == 0 && alignof(ControllerStatus) >= 4, "copied in 32-bit words");

struct SimStatus : ControllerStatus
{
    static constexpr std::uint32_t Magic = 0x4B585331; // "KXS1"

    std::uint32_t magic;
    std::atomic<std::int64_t> simulatedUs; // since the program started
    std::atomic<int> endedByDuration;      // 1 once --duration ended the program
    // The virtual clock as it moves, since the program started (under a
    // challenge: the console's lines are stamped with it).
    std::atomic<std::int64_t> clockUs;
    // Odd while the program's side writes the controller's state: a reader
    // that saw it odd, or changed, copies again.
    std::atomic<std::uint32_t> sequence;
    PanelChannel panel;
    // The history and the camera's picture for the panel (model/sim_record.h).
    PanelRecordOf<ControllerStatus> record;

    // The program's side (one writer at a time: the shared run's lock
    // orders its processes' exchanges): the controller's state, in one go.
    void publish(const ControllerStatus &next)
    {
        const std::uint32_t count = sequence.load(std::memory_order_relaxed);
        sequence.store(count + 1, std::memory_order_relaxed);
        Word *to = words();
        const Word *from = reinterpret_cast<const Word *>(&next);
        for (std::size_t i = 0; i < WordCount; ++i)
            __atomic_store_n(&to[i], from[i], __ATOMIC_RELEASE);
        sequence.store(count + 2, std::memory_order_release);
    }

    // The launcher, while the program runs: the state of one publish. A
    // writer that stays in the middle of one for StuckNs (a program stopped
    // or killed there) will not finish it: that copy is taken.
    ControllerStatus snapshot() const
    {
        ControllerStatus copy;
        Word *into = reinterpret_cast<Word *>(&copy);
        const Word *from = const_cast<SimStatus *>(this)->words();
        std::uint32_t stuck = 1; // the odd count last seen
        std::int64_t stuckSince = 0;
        for (;;) {
            const std::uint32_t before = sequence.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < WordCount; ++i)
                into[i] = __atomic_load_n(&from[i], __ATOMIC_ACQUIRE);
            const std::uint32_t after = sequence.load(std::memory_order_relaxed);
            if ((before & 1) == 0 && after == before)
                return copy;
            if (before != after || before != stuck) {
                stuck = after;
                stuckSince = 0;
            } else if (stuckSince == 0) {
                stuckSince = monotonicNs();
            } else if (monotonicNs() - stuckSince > StuckNs) {
                return copy;
            }
            ::sched_yield();
        }
    }

private:
    // The state is copied word by word with atomic accesses, as C++20's
    // std::atomic_ref does, so that a copy while the other side writes is
    // no data race; the sequence tells whether the words are of one publish.
    // Release stores and acquire loads of the words keep the sequence's
    // stores and loads on their side of them (on x86 they are plain moves).
    // Eight bytes at a time on a 64-bit processor, which moves them with one
    // instruction (a 32-bit ARM would need a loop of exclusive accesses).
    typedef std::conditional_t<sizeof(void *) == 8 && __atomic_always_lock_free(8, 0)
                                   && sizeof(ControllerStatus) % 8 == 0,
                               std::uint64_t, std::uint32_t>
        WholeWord;
    typedef WholeWord Word __attribute__((may_alias));
    static constexpr std::size_t WordCount = sizeof(ControllerStatus) / sizeof(Word);
    static constexpr std::int64_t StuckNs = 200000000;
    static std::int64_t monotonicNs()
    {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    Word *words() { return reinterpret_cast<Word *>(static_cast<ControllerStatus *>(this)); }
};

static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared between processes");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "shared between processes");

// Position on the 0-1023 servo scale for a pulse width in microseconds.
inline double servoPosition(double pulseUs)
{
    const double position = ((pulseUs - 1500.0) / 10.0 + 90.0) * 1023.0 / 180.0;
    return position < 0 ? 0 : position > 1023 ? 1023 : position;
}

// Names of a motor's two-bit mode and direction fields, as the summary and
// the panel show them.
inline const char *modeName(int mode)
{
    static const char *const Names[] = {"pwm", "pid-velocity", "mode-2", "pid-position"};
    return Names[mode & 3];
}

inline const char *directionName(int direction)
{
    static const char *const Names[] = {"off", "backward", "forward", "brake"};
    return Names[direction & 3];
}

} // namespace kxsim

#endif
