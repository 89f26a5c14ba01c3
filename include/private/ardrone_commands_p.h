#ifndef KESTRIX_PRIVATE_ARDRONE_COMMANDS_P_H
#define KESTRIX_PRIVATE_ARDRONE_COMMANDS_P_H

#include <cstdint>
#include <string>

namespace Private {
namespace AtCommands {

// AT*REF input fields: bits 18, 20, 22, 24 and 28 are always set.
constexpr std::uint32_t RefLand = 0x11540000u;
constexpr std::uint32_t RefTakeoff = RefLand | (1u << 9);

// "AT*NAME=SEQUENCE,ARGUMENTS" and its carriage return.
std::string format(std::uint32_t sequence, const std::string &name, const std::string &arguments);

// The arguments of each command, without the sequence number.
std::string ref(std::uint32_t bits);
std::string hover();
std::string move(float roll, float pitch, float gaz, float yaw);
std::string config(const std::string &key, const std::string &value);
std::string acknowledge();

// A float argument: the bit pattern of the IEEE-754 single, taken as a
// signed 32-bit integer, after holding the value to [-1, 1] (NaN and -0
// become 0).
std::string floatArgument(float value);

// "xx:xx:xx:xx:xx:xx" in hexadecimal.
bool isValidOwnerAddress(const char *address);
// 1 to 32 printable characters other than the double quote: a quote would
// end the argument, a control character the command.
bool isValidSsid(const char *ssid);

} // namespace AtCommands
} // namespace Private

#endif
