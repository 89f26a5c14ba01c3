// The simulator's script: timed inputs from the outside world, one per line:
//
//   TIME COMMAND ARGUMENTS...     # a comment; blank lines are skipped
//
// TIME is in simulated seconds since the program started (a decimal number,
// optionally followed by "s"). Lines need not be in time order; events at
// the same time apply in the order written. The commands are the rows of the
// table in script.cpp; scriptCommands() lists them for kestrix-sim --help.
#ifndef KESTRIX_SIM_SCRIPT_H
#define KESTRIX_SIM_SCRIPT_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace kxsim {

struct ScriptEvent
{
    enum class Kind { Press, Release, Digital, Analog, Heading, Battery, Charging, Spin };

    std::int64_t atUs = 0;   // simulated microseconds since the start
    Kind kind = Kind::Press;
    int port = 0;            // button id (0 a .. 5 z, 6 side), pin or port
    std::optional<double> value; // level, analog value, degrees, volts, 0/1, degrees/s; none = disconnect
    int line = 0;
};

// Button ids, in the library's own order.
constexpr int ButtonSide = 6;
// "a".."z", "side" -> id; -1 when unknown.
int buttonId(const std::string &name);
const char *buttonName(int id);

// A script line is a few words; anything longer is not a script (a binary
// file, /dev/zero) and is refused before it can fill the memory.
constexpr std::size_t MaxScriptLine = 4096;
// Half a million lines of a few words: no run needs more.
constexpr std::size_t MaxScriptBytes = 16 << 20;
// Script times, in seconds: far beyond any run, and well inside the
// microsecond clock's 64-bit range.
constexpr double MaxScriptSeconds = 1e9;

// One command as the help shows it.
struct ScriptCommand
{
    const char *name;
    const char *arguments;
    const char *effect;
};
const std::vector<ScriptCommand> &scriptCommands();

// Parses a whole script. On the first malformed line returns false and puts
// a one-line message ("NAME:LINE: ...") in `error`. The events come back
// sorted by time, stable for equal times.
bool parseScript(std::istream &input, const std::string &name, std::vector<ScriptEvent> &events,
                 std::string &error);
bool parseScriptFile(const std::string &path, std::vector<ScriptEvent> &events, std::string &error);

} // namespace kxsim

#endif
