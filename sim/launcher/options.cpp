#include "launcher/options.h"

#include "model/script.h"
#include "world/world.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifndef KESTRIX_SIM_VERSION
#define KESTRIX_SIM_VERSION "unknown"
#endif

namespace kxsim {

static_assert(MaxDuration == MaxScriptSeconds, "a script can reach the whole of a run");

[[noreturn]] void fail(int status, const std::string &message)
{
    // One line, whatever a quoted argument or file name holds: a control
    // character is shown as an escape.
    std::string line;
    for (const char c : message) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
            line += c;
            continue;
        }
        char escape[8] = "\\n";
        if (c != '\n')
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
        line += escape;
    }
    std::fprintf(stderr, "kestrix-sim: %s\n", line.c_str());
    std::exit(status);
}

namespace {

[[noreturn]] void usageError(const std::string &message)
{
    fail(BadUsage, message + " (kestrix-sim --help shows the options)");
}

// A number within [low, high], or a one-line error naming the option and
// what it allows.
double number(const std::string &option, const std::string &text, double low, double high, const char *allowed)
{
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        usageError(option + " takes " + allowed + ", not '" + text + "'");
    return value;
}

enum class Takes { Nothing, Value, OptionalValue };

struct Option
{
    const char *name;   // "--duration"
    const char *alias;  // "-h", or nullptr
    Takes takes;
    const char *value;  // what the help calls the value ("SECONDS")
    const char *help;   // lines separated by '\n'
    void (*apply)(Options &options, const std::string &value);
};

void printHelp();

const Option OptionTable[] = {
    {"--duration", nullptr, Takes::Value, "SECONDS",
     "end the program after SECONDS of simulated time\n"
     "(0.000001 to 1e9) and exit with 0; without it the\n"
     "program runs until it ends",
     [](Options &o, const std::string &v) {
         o.duration = number("--duration", v, MinDuration, MaxDuration, "seconds from 0.000001 to 1e9");
     }},
    {"--speed", nullptr, Takes::Value, "FACTOR|max",
     "run the simulated clock FACTOR times as fast as\n"
     "real time (0.001 to 1000; default 1); max: virtual\n"
     "time, a sleep returns at once and moves the clock on",
     [](Options &o, const std::string &v) {
         if (v != "max")
             o.factor = number("--speed", v, MinSpeed, MaxSpeed, "a factor from 0.001 to 1000, or max");
         o.speed = v;
         o.speedGiven = true;
     }},
    {"--script", nullptr, Takes::Value, "FILE", "timed inputs from the outside world (commands below)",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--script needs a file");
         o.script = v;
     }},
    {"--trace", nullptr, Takes::Value, "FILE", "write a CSV trace, a row every 0.1 s simulated",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--trace needs a file");
         o.trace = v;
     }},
    {"--panel", nullptr, Takes::OptionalValue, "PORT",
     "serve a live page of the run on 127.0.0.1:PORT\n"
     "(default 8765; 0 picks a free port) while the\n"
     "program runs; the address goes to standard error",
     [](Options &o, const std::string &v) {
         const double port = v.empty() ? DefaultPanelPort : number("--panel", v, 0, 65535, "a port from 0 to 65535");
         if (port != std::floor(port))
             usageError("--panel takes a port from 0 to 65535, not '" + v + "'");
         o.panelPort = int(port);
     }},
    {"--panel-address", nullptr, Takes::Value, "ADDRESS",
     "serve the panel on ADDRESS instead of 127.0.0.1\n"
     "(other machines can then drive the robot)",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--panel-address needs an address");
         o.panelAddress = v;
     }},
    {"--panel-linger", nullptr, Takes::Value, "SECONDS",
     "keep the panel up SECONDS after the program ends\n"
     "(0 to 1e9); without it the panel stays until Ctrl-C\n"
     "when standard input and output are a terminal, and\n"
     "ends with the program otherwise",
     [](Options &o, const std::string &v) {
         o.panelLinger = number("--panel-linger", v, 0, MaxDuration, "seconds from 0 to 1e9");
     }},
    {"--record", nullptr, Takes::Value, "FILE",
     "keep the run's history as the panel does (with or\n"
     "without --panel) and write it to FILE at the end,\n"
     "for --replay",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--record needs a file");
         o.record = v;
     }},
    {"--replay", nullptr, Takes::Value, "FILE",
     "show a run that --record wrote on the panel (at\n"
     "--panel's port, default 8765), without a program,\n"
     "until Ctrl-C or for --panel-linger seconds",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--replay needs a file");
         o.replay = v;
     }},
    {"--world", nullptr, Takes::Value, "FILE", "put the robot on the field of a JSON world file",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--world needs a file");
         o.world = v;
     }},
    {"--plot", nullptr, Takes::Value, "FILE.svg", "draw the field and the robot's path at the end",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--plot needs a file");
         o.plot = v;
     }},
    {"--seed", nullptr, Takes::Value, "N",
     "draw the world's realism (noise, drift, the spread\n"
     "of wheels and motors) from N (0 to 2^64-1); the same\n"
     "seed gives the same run at --speed max",
     [](Options &o, const std::string &v) {
         if (v.empty() || v.size() > 20 || v.find_first_not_of("0123456789") != std::string::npos
             || (v.size() == 20 && v > "18446744073709551615"))
             usageError("--seed takes a whole number from 0 to 18446744073709551615, not '" + v + "'");
         o.seed = v;
     }},
    {"--challenge", nullptr, Takes::Value, "FILE",
     "score the run against a challenge file (its world,\n"
     "time limit and start steps; --speed max unless\n"
     "given) and exit with 0 for a pass, 1 for a fail;\n"
     "a match's challenge takes a --robot for each side",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--challenge needs a file");
         o.challenge = v;
     }},
    {"--report", nullptr, Takes::Value, "FILE.json", "write the challenge's score and breakdown as JSON",
     [](Options &o, const std::string &v) {
         if (v.empty())
             usageError("--report needs a file");
         o.report = v;
     }},
    {"--check", nullptr, Takes::Nothing, nullptr,
     "check the inputs (challenge, world, script) and\n"
     "exit with 0, without a program",
     [](Options &o, const std::string &) { o.check = true; }},
    {"--robot", nullptr, Takes::Value, "'PROG ARGS'",
     "a robot of a match, its program and arguments in\n"
     "one word; twice for two robots on the --world's\n"
     "table (robot.start lists one pose per robot, or\n"
     "robots one description each), one world and one\n"
     "clock for both; no PROGRAM then",
     [](Options &o, const std::string &v) {
         std::vector<std::string> words;
         for (std::size_t at = 0; (at = v.find_first_not_of(" \t", at)) != std::string::npos;) {
             const std::size_t end = std::min(v.find_first_of(" \t", at), v.size());
             words.push_back(v.substr(at, end - at));
             at = end;
         }
         if (words.empty())
             usageError("--robot needs a program");
         if (o.robots.size() == MaxMatchRobots)
             usageError("a match takes at most " + std::to_string(MaxMatchRobots) + " robots");
         o.robots.push_back(words);
     }},
    {"--help", "-h", Takes::Nothing, nullptr, "print this help and exit",
     [](Options &, const std::string &) {
         printHelp();
         std::exit(0);
     }},
    {"--version", nullptr, Takes::Nothing, nullptr, "print the version and exit",
     [](Options &, const std::string &) {
         std::printf("kestrix-sim %s\n", KESTRIX_SIM_VERSION);
         std::exit(0);
     }},
};

const Option *findOption(const std::string &name)
{
    for (const Option &option : OptionTable)
        if (name == option.name || (option.alias && name == option.alias))
            return &option;
    return nullptr;
}

void printHelp()
{
    std::printf("usage: kestrix-sim [OPTIONS] PROGRAM [ARGS...]\n\n"
                "Runs PROGRAM, a robot program linked dynamically against libkestrix, on a\n"
                "simulated controller, and prints the controller's state on standard error\n"
                "when it ends.\n\nOptions (also written --option=VALUE; -- ends them):\n");
    for (const Option &option : OptionTable) {
        std::string left = std::string(option.alias ? option.alias : "") + (option.alias ? ", " : "") + option.name;
        if (option.takes == Takes::Value)
            left += std::string(" ") + option.value;
        else if (option.takes == Takes::OptionalValue)
            left += std::string("[=") + option.value + "]";
        std::string help = option.help;
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 27)
            help.replace(at, 1, "\n" + std::string(26, ' '));
        std::printf("  %-22s  %s\n", left.c_str(), help.c_str());
    }
    std::printf("\nScript commands, one per line: TIME COMMAND ARGUMENTS, TIME in simulated\n"
                "seconds (0 to 1e9, optionally followed by s); # starts a comment:\n");
    for (const kxsim::ScriptCommand &command : kxsim::scriptCommands()) {
        const std::string left = std::string(command.name) + " " + command.arguments;
        std::printf("  %-22s  %s\n", left.c_str(), command.effect);
    }
    std::printf("\nExample:\n"
                "  printf '2 click side\\n' > click.txt\n"
                "  kestrix-sim --speed max --duration 10 --script click.txt build/checkout/side_button_check\n\n"
                "Exit status: the program's own; 128+N if signal N ended it; 0 when\n"
                "--duration ended it; with --challenge 0 for a pass and 1 for a fail (a\n"
                "match: 0 when every side passed); 2 for a bad option, script, trace, world\n"
                "or challenge file; 74 when the trace or the picture could not be written\n"
                "whole; 126 for a program that cannot be executed here; 127 for one that is\n"
                "not found.\n");
}

} // namespace

Options parseOptions(int argc, char **argv)
{
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument.size() < 2 || argument[0] != '-')
            break;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
            hasValue = true;
        }
        const Option *option = findOption(argument);
        if (option == nullptr)
            usageError("unknown option '" + argument + "'");
        if (option->takes == Takes::Nothing && hasValue)
            usageError(argument + " takes no value");
        if (option->takes == Takes::Value && !hasValue) {
            if (i + 1 >= argc)
                usageError(argument + " needs a value");
            value = argv[++i];
        }
        option->apply(options, value);
    }
    for (; i < argc; ++i)
        options.command.emplace_back(argv[i]);
    if (!options.replay.empty()) {
        // The record holds the run: nothing of a new one goes with it.
        if (!options.command.empty() || !options.robots.empty())
            usageError("--replay shows a recorded run: it takes no program");
        const std::pair<bool, const char *> ofARun[] = {{!options.world.empty(), "--world"},
            {!options.script.empty(), "--script"}, {!options.trace.empty(), "--trace"},
            {!options.plot.empty(), "--plot"}, {!options.challenge.empty(), "--challenge"},
            {!options.record.empty(), "--record"}, {options.duration > 0, "--duration"},
            {!options.seed.empty(), "--seed"}, {options.speedGiven, "--speed"}, {options.check, "--check"}};
        for (const auto &option : ofARun)
            if (option.first)
                usageError(std::string(option.second) + " cannot go with --replay: the record holds the run");
        return options;
    }
    if (!options.robots.empty()) {
        if (!options.command.empty())
            usageError("a match's programs come with --robot, not after the options");
        // A match's challenge sets its world (and its sides, checked once it is read).
        if (options.world.empty() && options.challenge.empty())
            fail(BadUsage, "--robot needs --world: the robots of a match share its table");
        if (!options.record.empty())
            fail(BadUsage, "the panel's record holds one robot: --record does not go with --robot");
        // The first robot stands for the run where one program is named.
        options.command = options.robots.front();
    }
    if (options.command.empty() && !options.check)
        usageError("no program given");
    if (!options.report.empty() && options.challenge.empty())
        usageError("--report needs --challenge");
    if (!options.challenge.empty()) {
        const std::pair<bool, const char *> taken[] = {{!options.world.empty(), "--world"},
            {!options.script.empty(), "--script"}, {options.duration > 0, "--duration"}, {options.panelPort >= 0, "--panel"}};
        for (const auto &option : taken)
            if (option.first)
                usageError(std::string(option.second) + " cannot go with --challenge: the challenge sets the run");
    }
    return options;
}

// ---- The inputs' checks, before anything starts ------------------------------


namespace {

// A disk with no block left cannot take a row or a picture.
void checkSpace(int fd, const std::string &what)
{
    struct statvfs disk{};
    if (::fstatvfs(fd, &disk) == 0 && disk.f_blocks > 0 && disk.f_bfree == 0)
        fail(BadUsage, "cannot write " + what + ": " + std::strerror(ENOSPC));
}

// The trace is created (or emptied) here, so that a place it cannot go is
// refused before the program starts. A device takes it if it takes a write:
// /dev/null and a terminal do, /dev/full does not.
void checkTrace(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    struct stat info{};
    if (::fstat(fd, &info) != 0)
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    // A file takes one byte, taken back at once (a file of /proc may refuse
    // it); a device or a pipe is asked for no byte, which nobody would want
    // in a trace read from there.
    const bool file = S_ISREG(info.st_mode);
    if (::write(fd, "\n", file ? 1 : 0) < 0 || (file && ::ftruncate(fd, 0) != 0))
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    if (file)
        checkSpace(fd, "trace " + path);
    ::close(fd);
}

// The picture and the record are written under a temporary name in their
// folder and renamed over the path: each needs a regular file (or none)
// there and a folder that takes a new file.
void checkRenamed(const std::string &path, const std::string &what)
{
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        fail(BadUsage, "cannot write " + what + " " + path + ": "
                           + (S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file"));
    std::string probe = path + ".XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        fail(BadUsage, "cannot write " + what + " " + path + ": " + std::strerror(errno));
    ::unlink(probe.c_str());
    checkSpace(fd, what + " " + path);
    ::close(fd);
}

} // namespace

void checkInputs(const Options &options)
{
    std::string error;
    if (!options.script.empty()) {
        std::vector<kxsim::ScriptEvent> events;
        if (!kxsim::parseScriptFile(options.script, events, error))
            fail(BadUsage, error);
    }
    if (!options.trace.empty())
        checkTrace(options.trace);
    if (!options.plot.empty())
        checkRenamed(options.plot, "plot");
    if (!options.record.empty())
        checkRenamed(options.record, "record");
    if (!options.world.empty()) {
        kxsim::World world;
        if (!kxsim::loadWorld(options.world, world, error))
            fail(BadUsage, error);
        // Each robot of a match starts at its own pose, and with "robots"
        // is a description of its own.
        if (!world.robots.empty() && world.robots.size() < options.robots.size())
            fail(BadUsage, options.world + ": robots describes " + std::to_string(world.robots.size()) + " robot"
                               + (world.robots.size() == 1 ? "" : "s") + " for "
                               + std::to_string(options.robots.size()) + " robots");
        if (world.robot.starts.size() < options.robots.size())
            fail(BadUsage, options.world + ": robot.start gives " + std::to_string(world.robot.starts.size())
                               + " start pose" + (world.robot.starts.size() == 1 ? "" : "s") + " for "
                               + std::to_string(options.robots.size()) + " robots");
    }
}

} // namespace kxsim
