#include "private/ardrone_commands_p.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace Private {
namespace AtCommands {

namespace {

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

} // namespace

std::string format(std::uint32_t sequence, const std::string &name, const std::string &arguments)
{
    return "AT*" + name + "=" + std::to_string(sequence) + "," + arguments + "\r";
}

std::string ref(std::uint32_t bits)
{
    return std::to_string(bits);
}

std::string hover()
{
    return "0,0,0,0,0";
}

std::string move(float roll, float pitch, float gaz, float yaw)
{
    return "1," + floatArgument(roll) + "," + floatArgument(pitch) + "," + floatArgument(gaz) + "," +
           floatArgument(yaw);
}

std::string config(const std::string &key, const std::string &value)
{
    return quoted(key) + "," + quoted(value);
}

std::string acknowledge()
{
    // Mode 5 clears the drone's command-acknowledged bit.
    return "5,0";
}

std::string floatArgument(float value)
{
    if (std::isnan(value) || value == 0.0f)
        value = 0.0f; // also turns -0 into 0
    value = std::clamp(value, -1.0f, 1.0f);
    std::int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
}

bool isValidOwnerAddress(const char *address)
{
    if (address == nullptr || std::strlen(address) != 17)
        return false;
    for (int i = 0; i < 17; ++i) {
        const char c = address[i];
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool isValidSsid(const char *ssid)
{
    if (ssid == nullptr)
        return false;
    const std::size_t length = std::strlen(ssid);
    if (length == 0 || length > 32)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(ssid[i]);
        if (c < 0x20 || c == 0x7F || c == '"')
            return false;
    }
    return true;
}

} // namespace AtCommands
} // namespace Private
