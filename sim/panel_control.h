// The program's side of the panel (kestrix-sim --panel): a thread of the
// simulator takes the launcher's commands from the shared status block and
// applies them to the simulated controller, and the program's threads wait
// here while the run is paused.
//
// The thread polls the block every millisecond rather than waiting on the
// program's own activity, so a press reaches the input device within a few
// milliseconds even while the program sleeps for a long time.
#ifndef KESTRIX_SIM_PANEL_CONTROL_H
#define KESTRIX_SIM_PANEL_CONTROL_H

#include "sim_status.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kxsim {

class PanelControl
{
public:
    static PanelControl &instance();

    // Starts taking commands from `status`; `virtualTime` and `speed` are
    // the clock the run started with (speed is ignored for virtual time).
    void start(SimStatus *status, bool virtualTime, double speed);

    // Called by a program thread after each of its sleeps: returns at once
    // unless the run is paused, then waits for resume or a step.
    void holdWhilePaused();

    // Applies one command; the polling thread calls it (tests may too).
    void apply(const PanelCommand &command);

private:
    PanelControl() = default;
    void run();
    void button(int id, bool pressed);
    void pause();
    void resume();
    void publish();
    bool stepOver();

    SimStatus *m_status = nullptr;
    std::mutex m_lock;
    std::condition_variable m_resumed;
    bool m_paused = false;
    bool m_virtual = false;       // the speed the run has when not paused
    double m_speed = 1.0;
    std::int64_t m_stepEndUs = 0; // while stepping: clock time at which to pause again
    std::array<std::size_t, 7> m_pressReads{}; // key reads of the program when each button went down
};

} // namespace kxsim

#endif
