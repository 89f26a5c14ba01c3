#ifndef KESTRIX_PRIVATE_ARDRONE_EMERGENCY_STOP_P_H
#define KESTRIX_PRIVATE_ARDRONE_EMERGENCY_STOP_P_H

#include <atomic>

#include "private/thread_p.h"

class ARDrone;

namespace Private {

// Watches the side button while a program flies the drone: when enabled and
// the button is down at a check, disconnects the drone client and ends the
// process at once with status 0 (no exit handlers, no flushing of standard
// I/O). Checks every 200 ms, the first 200 ms after run() begins.
//
// run() clears the stop flag when it begins, so a stop() that lands before
// the thread has entered run() is lost: owners stop it only once it runs.
class ARDroneEmergencyStop : public Thread
{
public:
    // A new watcher is disabled. It does not own the client.
    explicit ARDroneEmergencyStop(ARDrone *drone);
    ~ARDroneEmergencyStop() override;

    void run() override;

    // run() returns after the pass it is in: its sleep and one last check.
    void stop();
    // Takes effect at the next check.
    void setEnabled(bool enabled);
    bool isEnabled() const;

private:
    ARDrone *const m_drone;
    std::atomic<bool> m_stop;
    std::atomic<bool> m_enabled;
};

} // namespace Private

#endif
