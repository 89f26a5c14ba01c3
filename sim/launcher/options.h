// kestrix-sim's command line. Every option is one row of the table in
// options.cpp, and the help is built from those rows and the script's
// commands (script.cpp): a new option is a new row, and the help and the
// manual page follow it.
#ifndef KESTRIX_SIM_OPTIONS_H
#define KESTRIX_SIM_OPTIONS_H

#include <string>
#include <vector>

namespace kxsim {

// Exit statuses of the launcher itself, as a shell gives them.
constexpr int BadUsage = 2;
// An output of the run (the trace, the picture) could not be written whole:
// the input/output error of the BSD exit codes.
constexpr int OutputLost = 74;
constexpr int CannotExecute = 126;
constexpr int NotFound = 127;

// One simulated microsecond is the clock's step: a shorter duration would
// round to none and turn the limit off. The top matches the script's times
// and keeps the end time well inside the microsecond clock's 64-bit range.
constexpr double MinDuration = 1e-6;
constexpr double MaxDuration = 1e9;
// Beyond these the scaled clock stops being useful: a sleep of the program
// shrinks below the system's own timer resolution, or one simulated second
// takes over a quarter of an hour. --speed max covers "as fast as possible".
constexpr double MinSpeed = 0.001;
constexpr double MaxSpeed = 1000;
// The most robots of a match.
constexpr std::size_t MaxMatchRobots = 2;
// The panel's port when --panel names none.
constexpr int DefaultPanelPort = 8765;

struct Options
{
    double duration = 0;
    std::string speed = "1";
    double factor = 1;
    std::string script;
    std::string trace;
    int panelPort = -1;                     // -1: no panel; 0: any free port
    std::string panelAddress = "127.0.0.1";
    double panelLinger = -1; // seconds the panel stays after the end; -1: until Ctrl-C on a terminal, else none
    std::string world; // world file the robot drives in
    std::string plot;  // SVG picture of the run
    std::string seed;  // the run's seed as given (digits), empty for the default
    bool speedGiven = false;
    std::string challenge; // challenge file the run is scored against
    std::string report;    // the challenge's score as JSON
    std::string record;    // the run's history for --replay, written at the end
    std::string replay;    // a recorded run to show on the panel, instead of a program
    bool check = false;    // check the inputs and exit
    std::vector<std::string> command;
    // A match: one program with its arguments per robot (--robot), in the
    // order of the world's start poses; empty for a run of `command` alone.
    std::vector<std::vector<std::string>> robots;
};

// Parses the command line; a bad one ends the launcher with one line and
// BadUsage, --help and --version end it with 0.
Options parseOptions(int argc, char **argv);

// Prints "kestrix-sim: MESSAGE" on standard error and exits with `status`.
[[noreturn]] void fail(int status, const std::string &message);

// The checks of the inputs before anything starts: the script, the trace's
// and the picture's places, the world file, and for a match the world's
// start poses for its robots. Each refuses with one line and BadUsage.
void checkInputs(const Options &options);

} // namespace kxsim

#endif
