#include "private/ardrone_navdata_p.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Private {
namespace Navdata {

namespace {

constexpr std::size_t HeaderSize = 16;
constexpr std::size_t OptionHeaderSize = 4;
constexpr std::size_t DemoPayloadSize = 36; // the fields read below; more may follow

std::uint32_t readU32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t readU16(const unsigned char *p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

float readFloat(const unsigned char *p)
{
    const std::uint32_t bits = readU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The checksum option is the last one and closes the packet; every option
// before it has to fit.
bool checksumIsRight(const unsigned char *data, std::size_t size)
{
    std::size_t offset = HeaderSize;
    while (offset + OptionHeaderSize <= size) {
        const std::uint16_t tag = readU16(data + offset);
        const std::uint16_t length = readU16(data + offset + 2);
        if (length < OptionHeaderSize || offset + length > size)
            return false;
        if (tag == ChecksumTag) {
            if (length != 8)
                return false;
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < offset; ++i)
                sum += data[i];
            return sum == readU32(data + offset + 4);
        }
        offset += length;
    }
    return false;
}

// False for a value that is not finite: one such field spoils the record.
bool readDemo(const unsigned char *p, NavigationData &n)
{
    // The field is unsigned on the wire; read as signed, garbage near the
    // top of the range becomes a negative level and clamps to empty, not full.
    const auto battery = static_cast<std::int32_t>(readU32(p + 4));
    n.batteryLevel = std::clamp<std::int32_t>(battery, 0, 100);
    n.pitch = readFloat(p + 8) / 1000.0f;
    n.roll = readFloat(p + 12) / 1000.0f;
    n.yaw = readFloat(p + 16) / 1000.0f;
    n.altitude = static_cast<float>(static_cast<std::int32_t>(readU32(p + 20))) / 1000.0f;
    n.xVelocity = readFloat(p + 24) / 1000.0f;
    n.yVelocity = readFloat(p + 28) / 1000.0f;
    n.zVelocity = readFloat(p + 32) / 1000.0f;
    for (float value : {n.pitch, n.roll, n.yaw, n.xVelocity, n.yVelocity, n.zVelocity})
        if (!std::isfinite(value))
            return false;
    return true;
}

} // namespace

bool decode(const unsigned char *data, std::size_t size, Packet &packet)
{
    if (data == nullptr || size < HeaderSize || readU32(data) != Header || !checksumIsRight(data, size))
        return false;
    packet = Packet();
    packet.state = readU32(data + 4);
    packet.sequence = readU32(data + 8);
    // checksumIsRight() has walked these options already: each one fits.
    for (std::size_t offset = HeaderSize;;) {
        const std::uint16_t tag = readU16(data + offset);
        const std::uint16_t length = readU16(data + offset + 2);
        if (tag == ChecksumTag)
            return true;
        if (tag == DemoTag && length >= OptionHeaderSize + DemoPayloadSize) {
            if (!readDemo(data + offset + OptionHeaderSize, packet.demo))
                return false;
            packet.hasDemo = true;
        }
        offset += length;
    }
}

void update(NavigationData &navigation, const NavigationData &demo, float seconds)
{
    NavigationData next = demo;
    next.x = navigation.x + demo.xVelocity * seconds;
    next.y = navigation.y + demo.yVelocity * seconds;
    next.z = navigation.z + demo.zVelocity * seconds;
    navigation = next;
}

} // namespace Navdata
} // namespace Private
