#ifndef KESTRIX_PRIVATE_ARDRONE_NAVDATA_P_H
#define KESTRIX_PRIVATE_ARDRONE_NAVDATA_P_H

#include <cstddef>
#include <cstdint>

// The drone's latest flight state. Units:
//   battery level  percent, 0-100
//   pitch/roll/yaw degrees (the drone sends thousandths of a degree)
//   altitude       metres above the ground (the drone sends millimetres)
//   velocities     metres per second (the drone sends millimetres per second)
//   x, y, z        metres travelled since connecting or the last
//                  clearPosition(), integrated from the velocities; the drone
//                  itself reports no position.
struct NavigationData
{
    std::int32_t batteryLevel = 0;
    float pitch = 0.0f;
    float roll = 0.0f;
    float yaw = 0.0f;
    float altitude = 0.0f;
    float xVelocity = 0.0f;
    float yVelocity = 0.0f;
    float zVelocity = 0.0f;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

namespace Private {
namespace Navdata {

constexpr std::uint32_t Header = 0x55667788u;
constexpr std::uint16_t DemoTag = 0;
constexpr std::uint16_t ChecksumTag = 0xFFFF;

// Bits of the drone's state word.
constexpr std::uint32_t StateFlying = 1u << 0;
constexpr std::uint32_t StateCommandAck = 1u << 6;
constexpr std::uint32_t StateEmergency = 1u << 31;

struct Packet
{
    std::uint32_t state = 0;
    std::uint32_t sequence = 0;
    // Whether the packet carried a demo option; `demo` holds its fields in
    // the units above (the position fields stay 0).
    bool hasDemo = false;
    NavigationData demo;
};

// Decodes one navdata datagram. False when the header is wrong, an option
// runs past the end, the checksum option is missing or does not hold the
// byte sum of everything before it, or the demo option holds a value that
// is not finite: such a packet says nothing trustworthy and is dropped
// whole. A battery level outside 0-100 is clamped into it.
bool decode(const unsigned char *data, std::size_t size, Packet &packet);

// Takes the readings of `demo` into `navigation` and moves its position on
// by the new velocities over `seconds` (0: the position stays).
void update(NavigationData &navigation, const NavigationData &demo, float seconds);

} // namespace Navdata
} // namespace Private

#endif
