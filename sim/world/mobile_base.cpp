#include "world/mobile_base.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

#include <time.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr std::uint8_t Start = 128, Safe = 131, Full = 132, Drive = 137, DriveDirect = 145, Sensors = 142,
                       QueryList = 149, Stop = 173;
constexpr int ModeOff = 0, ModePassive = 1, ModeSafe = 2, ModeFull = 3;
constexpr double MaxWheelMetresPerSecond = 0.5;

int signed16(const std::uint8_t *bytes)
{
    return std::int16_t(std::uint16_t((bytes[0] << 8) | bytes[1]));
}

void put16(std::vector<std::uint8_t> &out, long value)
{
    const auto v = std::uint16_t(std::int16_t(std::clamp<long>(value, -32768, 32767)));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v & 0xFF));
}

} // namespace

BaseProtocol::BaseProtocol(std::function<Motion()> motion, std::function<void(double, double)> wheels)
    : m_motion(std::move(motion)), m_wheels(std::move(wheels))
{
}

std::size_t BaseProtocol::commandLength() const
{
    switch (m_pending.front()) {
    case Drive:
    case DriveDirect:
        return m_pending.size() >= 5 ? 5 : 0;
    case Sensors:
        return m_pending.size() >= 2 ? 2 : 0;
    case QueryList:
        return m_pending.size() >= 2 && m_pending.size() >= 2u + m_pending[1] ? 2u + m_pending[1] : 0;
    default:
        return 1;
    }
}

std::vector<std::uint8_t> BaseProtocol::receive(const std::uint8_t *bytes, std::size_t count)
{
    m_pending.insert(m_pending.end(), bytes, bytes + count);
    std::vector<std::uint8_t> answer;
    while (!m_pending.empty()) {
        const std::size_t length = commandLength();
        if (length == 0)
            break;
        execute(m_pending.data(), answer);
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(length));
    }
    return answer;
}

void BaseProtocol::drive(double left, double right)
{
    m_wheels(std::clamp(left, -MaxWheelMetresPerSecond, MaxWheelMetresPerSecond),
             std::clamp(right, -MaxWheelMetresPerSecond, MaxWheelMetresPerSecond));
}

void BaseProtocol::execute(const std::uint8_t *command, std::vector<std::uint8_t> &answer)
{
    const std::uint8_t opcode = command[0];
    if (opcode == Start) {
        m_mode = ModePassive;
        return;
    }
    // Before Start the base listens for nothing else.
    if (m_mode == ModeOff)
        return;
    switch (opcode) {
    case Safe:
        m_mode = ModeSafe;
        break;
    case Full:
        m_mode = ModeFull;
        break;
    case Stop:
        m_mode = ModeOff;
        drive(0, 0);
        break;
    case Drive: {
        if (m_mode < ModeSafe)
            break;
        const double v = signed16(command + 1) / 1000.0;
        const int radius = signed16(command + 3);
        if (radius == 32767 || radius == -32768)
            drive(v, v);
        else if (radius == -1)
            drive(v, -v); // on the spot, clockwise
        else if (radius == 1)
            drive(-v, v);
        else {
            const double r = radius / 1000.0;
            drive(v * (r - BaseTrackMetres / 2) / r, v * (r + BaseTrackMetres / 2) / r);
        }
        break;
    }
    case DriveDirect:
        if (m_mode >= ModeSafe)
            drive(signed16(command + 3) / 1000.0, signed16(command + 1) / 1000.0);
        break;
    case Sensors:
        packet(command[1], answer);
        break;
    case QueryList:
        for (std::size_t k = 0; k < command[1]; ++k)
            packet(command[2 + k], answer);
        break;
    default:
        break; // a command the simulated base does not know is ignored
    }
}

void BaseProtocol::packet(int id, std::vector<std::uint8_t> &answer)
{
    switch (id) {
    case 7:
        answer.push_back(m_motion().bumped ? 3 : 0);
        break;
    case 19: {
        // Whole millimetres; the remainder waits for the next report, so the
        // reports add up to the true distance.
        const long mm = std::lround((m_motion().travelledMetres - m_reportedMetres) * 1000);
        m_reportedMetres += double(mm) / 1000;
        put16(answer, mm);
        break;
    }
    case 20: {
        const long degrees = std::lround(m_motion().turnedDegrees - m_reportedDegrees);
        m_reportedDegrees += double(degrees);
        put16(answer, degrees);
        break;
    }
    case 35:
        answer.push_back(std::uint8_t(m_mode));
        break;
    default:
        break; // unknown packets answer nothing
    }
}

} // namespace kxsim
