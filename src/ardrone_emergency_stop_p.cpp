#include "private/ardrone_emergency_stop_p.h"

#include "private/ardrone_p.h"
#include "private/buttons_p.h"
#include "kestrix/util.h"

#include <cstdlib>

namespace Private {

ARDroneEmergencyStop::ARDroneEmergencyStop(ARDrone *drone)
    : m_drone(drone)
    , m_stop(false)
    , m_enabled(false)
{
}

ARDroneEmergencyStop::~ARDroneEmergencyStop() = default;

void ARDroneEmergencyStop::run()
{
    m_stop = false;
    while (!m_stop) {
        msleep(200);
        if (!m_enabled)
            continue;
        if (Button::Side.isNotPressed())
            continue;
        m_drone->disconnect();
        // An emergency stop ends the program now: no exit handlers, no
        // destructors, no flushing of buffered output.
        std::_Exit(0);
    }
}

void ARDroneEmergencyStop::stop()
{
    m_stop = true;
}

void ARDroneEmergencyStop::setEnabled(bool enabled)
{
    m_enabled = enabled;
}

bool ARDroneEmergencyStop::isEnabled() const
{
    return m_enabled;
}

} // namespace Private
