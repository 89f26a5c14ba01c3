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

#include "model/sim_status.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace kxsim {

class PanelControl
{
public:
    static PanelControl &instance();

    // Starts taking commands from `status`; `virtualTime` and `speed` are
    // the clock the run started with (speed is ignored for virtual time).
    void start(SimStatus *status, bool virtualTime, double speed);

    // Called by a program thread after each of its sleeps: waits while the
    // run is paused, then makes the button changes that came meanwhile.
    void holdWhilePaused();

    // Applies one command; the polling thread calls it (tests may too).
    void apply(const PanelCommand &command);

private:
    PanelControl() = default;
    void run();
    void button(int id, bool pressed);
    void changeButtons(bool program);
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
    std::array<std::int64_t, 7> m_pressedUs{}; // clock time at which each button went down
    std::array<std::int64_t, 7> m_releaseUs{}; // clock time of a held-back release, 0 for none
    std::vector<std::pair<int, bool>> m_buttonQueue; // changes not yet made: button, pressed
    std::int64_t m_programNs = 0; // real time at which a program thread last came by
};

} // namespace kxsim

#endif
