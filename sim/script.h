// The simulator's script: timed inputs from the outside world, one per line.
//
//   # comment                     blank lines and comments are skipped
//   TIME press BUTTON             BUTTON: a b c x y z side
//   TIME release BUTTON
//   TIME click BUTTON             press now, release 0.1 s later
//   TIME digital PIN LEVEL        PIN 0-15, LEVEL 0, 1 or none (none: nothing connected)
//   TIME analog PORT VALUE        PORT 0-5, VALUE 0-4095 or none
//   TIME heading DEGREES          compass heading, clockwise from north
//   TIME battery VOLTS            battery voltage, 0 to 100
//   TIME charging on|off          whether the battery reads as charging
//
// TIME is in simulated seconds since the program started (a decimal number,
// optionally followed by "s"). Lines need not be in time order; events at
// the same time apply in the order written.
#ifndef KESTRIX_SIM_SCRIPT_H
#define KESTRIX_SIM_SCRIPT_H

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct ScriptEvent
{
    enum class Kind { Press, Release, Digital, Analog, Heading, Battery, Charging };

    std::int64_t atUs = 0;   // simulated microseconds since the start
    Kind kind = Kind::Press;
    int port = 0;            // button id (0 a .. 5 z, 6 side), pin or port
    std::optional<double> value; // level, analog value, degrees, volts, 0/1; none = disconnect
    int line = 0;
};

// Button ids, in the library's own order.
constexpr int ButtonSide = 6;
// "a".."z", "side" -> id; -1 when unknown.
int buttonId(const std::string &name);
const char *buttonName(int id);

// Parses a whole script. On the first malformed line returns false and puts
// a one-line message ("NAME:LINE: ...") in `error`. The events come back
// sorted by time, stable for equal times.
bool parseScript(std::istream &input, const std::string &name, std::vector<ScriptEvent> &events,
                 std::string &error);
bool parseScriptFile(const std::string &path, std::vector<ScriptEvent> &events, std::string &error);

} // namespace kxsim

#endif
