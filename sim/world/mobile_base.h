// The simulated mobile base: the serial protocol the library speaks to it
// (Start, Safe, Full, Stop, Drive, Drive Direct, Sensors, Query List with
// packets 7, 19, 20 and 35). Its wheels move the simulated robot
// (physics.h); its distance and angle packets report the robot's true
// motion. The simulator puts it on the far end of the fake serial line
// (preload/base_line.h).
#ifndef KESTRIX_SIM_MOBILE_BASE_H
#define KESTRIX_SIM_MOBILE_BASE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kxsim {

// Distance between the base's two wheels, in metres.
constexpr double BaseTrackMetres = 0.235;

class BaseProtocol
{
public:
    struct Motion
    {
        double travelledMetres = 0; // in all since the start, forward positive
        double turnedDegrees = 0;   // in all, counter-clockwise positive
        bool bumped = false;
    };
    // `motion` reads the robot's true motion; `wheels` sets the commanded
    // wheel speeds in m/s (left, right).
    BaseProtocol(std::function<Motion()> motion, std::function<void(double, double)> wheels);

    // Takes bytes from the client (commands may arrive split anywhere) and
    // returns the base's answer.
    std::vector<std::uint8_t> receive(const std::uint8_t *bytes, std::size_t count);

    int mode() const { return m_mode; } // 0 off, 1 passive, 2 safe, 3 full

private:
    // Length of the command at the front of the buffer, 0 while incomplete.
    std::size_t commandLength() const;
    void execute(const std::uint8_t *command, std::vector<std::uint8_t> &answer);
    void packet(int id, std::vector<std::uint8_t> &answer);
    void drive(double left, double right);

    std::function<Motion()> m_motion;
    std::function<void(double, double)> m_wheels;
    std::vector<std::uint8_t> m_pending;
    int m_mode = 0;
    double m_reportedMetres = 0;  // distance already reported, in whole millimetres
    double m_reportedDegrees = 0; // angle already reported, in whole degrees
};

} // namespace kxsim

#endif
