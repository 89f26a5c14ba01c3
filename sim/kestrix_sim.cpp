// kestrix-sim [options] PROGRAM [ARGS...]: runs an unmodified robot program on
// the simulated controller by preloading libkestrix-sim.so into it.
//
// The help text is built from two tables and nothing else: Options below (one
// row per option) and the script's commands (script.cpp). The manual page
// follows them.
#include "script.h"
#include "sim_status.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef KESTRIX_SIM_VERSION
#define KESTRIX_SIM_VERSION "unknown"
#endif

namespace {

// Exit statuses of the launcher itself, as a shell gives them.
constexpr int BadUsage = 2;
constexpr int CannotExecute = 126;
constexpr int NotFound = 127;

constexpr double GraceSeconds = 10; // real time allowed beyond the duration before the launcher steps in
// One simulated microsecond is the clock's step: a shorter duration would
// round to none and turn the limit off. The top matches the script's times.
constexpr double MinDuration = 1e-6;
constexpr double MaxDuration = kxsim::MaxScriptSeconds;
// Beyond these the scaled clock stops being useful: a sleep of the program
// shrinks below the system's own timer resolution, or one simulated second
// takes over a quarter of an hour. --speed max covers "as fast as possible".
constexpr double MinSpeed = 0.001;
constexpr double MaxSpeed = 1000;

struct Options
{
    double duration = 0;
    std::string speed = "1";
    double factor = 1;
    std::string script;
    std::string trace;
    std::vector<std::string> command;
};

[[noreturn]] void fail(int status, const std::string &message)
{
    std::fprintf(stderr, "kestrix-sim: %s\n", message.c_str());
    std::exit(status);
}

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

// ---- Options: one row each --------------------------------------------------

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
                "  kestrix-sim --speed max --duration 10 --script click.txt side_button_check\n\n"
                "Exit status: the program's own; 128+N if signal N ended it; 0 when\n"
                "--duration ended it; 2 for a bad option, script or trace file; 126 for a\n"
                "program that cannot be executed here; 127 for one that is not found.\n");
}

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
    if (options.command.empty())
        usageError("no program given");
    return options;
}

// ---- What kind of file the program is ---------------------------------------

struct ElfFacts
{
    bool elf = false;
    unsigned machine = 0;
    bool dynamic = false;             // names a program interpreter (the dynamic loader)
    std::vector<std::string> needed; // the shared libraries it names
};

// Reads what the kernel and the dynamic loader read to start a program: the
// ELF header, the program headers and the dynamic section, in the file's
// own byte order. Anything malformed just ends the reading.
ElfFacts inspect(const std::string &path)
{
    ElfFacts facts;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return facts;
    unsigned char header[64] = {};
    if (::pread(fd, header, sizeof header, 0) < 52 || std::memcmp(header, ELFMAG, SELFMAG) != 0) {
        ::close(fd);
        return facts;
    }
    const bool big = header[EI_DATA] == ELFDATA2MSB;
    const bool wide = header[EI_CLASS] == ELFCLASS64;
    const int word = wide ? 8 : 4;
    auto read = [&](const unsigned char *at, int bytes) {
        unsigned long long value = 0;
        for (int n = 0; n < bytes; ++n)
            value |= static_cast<unsigned long long>(at[big ? bytes - 1 - n : n]) << (8 * n);
        return value;
    };
    facts.elf = true;
    facts.machine = unsigned(read(header + 18, 2));
    const unsigned long long table = read(header + (wide ? 32 : 28), word);
    const unsigned entry = unsigned(read(header + (wide ? 54 : 42), 2));
    const unsigned count = std::min(unsigned(read(header + (wide ? 56 : 44), 2)), 256u);
    struct Segment { unsigned long long offset, address, size; };
    std::vector<Segment> loads;
    Segment dynamic{0, 0, 0};
    unsigned char row[56];
    for (unsigned n = 0; n < count && entry >= (wide ? 56u : 32u); ++n) {
        if (::pread(fd, row, sizeof row, off_t(table + n * entry)) < (wide ? 56 : 32))
            break;
        const Segment segment{read(row + (wide ? 8 : 4), word), read(row + (wide ? 16 : 8), word),
                              read(row + (wide ? 32 : 16), word)};
        const auto type = read(row, 4);
        if (type == PT_INTERP)
            facts.dynamic = true;
        else if (type == PT_LOAD)
            loads.push_back(segment);
        else if (type == PT_DYNAMIC)
            dynamic = segment;
    }
    // The dynamic section names its strings by address: find them in the file.
    auto fileOffset = [&](unsigned long long address) -> long long {
        for (const Segment &load : loads)
            if (address >= load.address && address < load.address + load.size)
                return (long long)(load.offset + (address - load.address));
        return -1;
    };
    std::vector<unsigned long long> names;
    long long strings = -1;
    for (unsigned long long at = 0; at + 2 * word <= std::min(dynamic.size, 65536ull); at += 2 * word) {
        if (::pread(fd, row, std::size_t(2 * word), off_t(dynamic.offset + at)) < 2 * word)
            break;
        const auto tag = read(row, word), value = read(row + word, word);
        if (tag == DT_NULL)
            break;
        if (tag == DT_NEEDED)
            names.push_back(value);
        else if (tag == DT_STRTAB)
            strings = fileOffset(value);
    }
    for (unsigned long long name : names) {
        char text[256] = {};
        if (strings >= 0 && ::pread(fd, text, sizeof text - 1, off_t(strings + (long long)name)) > 0)
            facts.needed.emplace_back(text);
    }
    ::close(fd);
    return facts;
}

std::string machineName(unsigned machine)
{
    switch (machine) {
    case EM_386: return "32-bit x86";
    case EM_X86_64: return "x86-64";
    case EM_ARM: return "32-bit ARM";
    case EM_AARCH64: return "64-bit ARM";
    case EM_RISCV: return "RISC-V";
    case EM_MIPS: return "MIPS";
    case EM_PPC64: return "64-bit PowerPC";
    default: return "ELF machine " + std::to_string(machine);
    }
}

std::string wrongArchitecture(const std::string &program, const ElfFacts &facts, const ElfFacts &own)
{
    std::string message = program + " is a program for " + machineName(facts.machine) + ", this machine runs "
                          + machineName(own.machine);
    if (facts.machine == EM_ARM)
        message += "; run it on the board, or on the board build of the simulator under the emulator (README, "
                   "Building for the board): qemu-arm -L /usr/arm-linux-gnueabihf -E "
                   "LD_PRELOAD=build-arm/emulation/libexec_through_emulator.so build-arm/sim/kestrix-sim "
                   + program;
    else
        message += "; build it for this machine";
    return message;
}

// ---- Step 1: find the program -----------------------------------------------

// The path to run, as the shell would find it; a one-line error otherwise.
std::string locateProgram(const std::string &name)
{
    std::vector<std::string> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(name);
    } else {
        const char *path = std::getenv("PATH");
        const std::string folders = path ? path : "/usr/bin:/bin";
        for (std::size_t start = 0; start <= folders.size();) {
            const std::size_t end = std::min(folders.find(':', start), folders.size());
            const std::string folder = folders.substr(start, end - start);
            candidates.push_back((folder.empty() ? "." : folder) + "/" + name);
            start = end + 1;
        }
    }
    std::string refused;
    for (const std::string &candidate : candidates) {
        struct stat info{};
        if (::stat(candidate.c_str(), &info) != 0)
            continue;
        if (S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        // Like the shell, a search of PATH passes over folders and devices.
        if (refused.empty() && (S_ISREG(info.st_mode) || candidates.size() == 1))
            refused = S_ISDIR(info.st_mode)   ? candidate + " is a folder, not a program"
                      : !S_ISREG(info.st_mode) ? candidate + " is not a regular file"
                                                : candidate + " is not executable (chmod +x " + candidate + ")";
    }
    if (!refused.empty())
        fail(CannotExecute, refused);
    fail(NotFound, "program not found: " + name);
}

// ---- Step 2: check the inputs before anything starts --------------------------

void checkInputs(const Options &options)
{
    std::string error;
    if (!options.script.empty()) {
        std::vector<kxsim::ScriptEvent> events;
        if (!kxsim::parseScriptFile(options.script, events, error))
            fail(BadUsage, error);
    }
    if (!options.trace.empty()) {
        FILE *trace = std::fopen(options.trace.c_str(), "w");
        if (trace == nullptr)
            fail(BadUsage, "cannot write trace " + options.trace + ": " + std::strerror(errno));
        std::fclose(trace);
    }
}

// ---- Step 3: prepare the simulated controller ---------------------------------

struct Controller
{
    std::string library;     // libkestrix-sim.so
    int statusFd = -1;       // the status block, shared with the program
    kxsim::SimStatus *status = nullptr;
    std::string sysfsFolder; // stands in for /sys/class/power_supply
};

std::string ownFolder()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    path[length] = '\0';
    std::string folder(path);
    return folder.substr(0, folder.rfind('/'));
}

std::string preloadLibrary()
{
    if (const char *library = std::getenv("KESTRIX_SIM_LIBRARY"))
        return library;
    const std::string folder = ownFolder();
    for (const std::string &candidate :
         {folder + "/libkestrix-sim.so", folder + "/../" KESTRIX_SIM_INSTALLED_LIBRARY})
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    return folder + "/libkestrix-sim.so";
}

Controller prepareController()
{
    Controller controller;
    controller.library = preloadLibrary();
    if (::access(controller.library.c_str(), R_OK) != 0)
        fail(BadUsage, "simulator library not found: " + controller.library);

    controller.statusFd = ::memfd_create("kestrix-sim-status", 0);
    if (controller.statusFd < 0 || ::ftruncate(controller.statusFd, sizeof(kxsim::SimStatus)) != 0)
        fail(BadUsage, std::string("cannot create the status block: ") + std::strerror(errno));
    void *block =
        ::mmap(nullptr, sizeof(kxsim::SimStatus), PROT_READ | PROT_WRITE, MAP_SHARED, controller.statusFd, 0);
    if (block == MAP_FAILED)
        fail(BadUsage, std::string("cannot map the status block: ") + std::strerror(errno));
    controller.status = static_cast<kxsim::SimStatus *>(block);

    const char *temporary = std::getenv("TMPDIR");
    std::string folder = std::string(temporary && *temporary ? temporary : "/tmp") + "/kestrix-sim.XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr)
        fail(BadUsage, std::string("cannot create a folder for the battery: ") + std::strerror(errno));
    controller.sysfsFolder = folder;
    return controller;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// ---- Step 4: start the program ------------------------------------------------

volatile sig_atomic_t s_child = 0;

void forward(int signal)
{
    if (s_child > 0)
        ::kill(s_child, signal);
}

void forwardSignals()
{
    struct sigaction action{};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(signal, &action, nullptr);
}

double monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The interpreter a script's #! line names.
std::string interpreter(const std::string &script)
{
    char line[256] = {};
    const int fd = ::open(script.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : ::read(fd, line, sizeof line - 1);
    if (fd >= 0)
        ::close(fd);
    if (got < 2 || line[0] != '#' || line[1] != '!')
        return "(no #! line)";
    std::string text(line + 2, std::size_t(got - 2));
    const std::size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return "(empty #! line)";
    return text.substr(start, text.find_first_of(" \t\n", start) - start);
}

// Why the kernel refused to start the program, in the user's terms.
std::string execFailure(const std::string &program, int error)
{
    const ElfFacts facts = inspect(program);
    const ElfFacts own = inspect("/proc/self/exe");
    if (facts.elf && own.elf && facts.machine != own.machine)
        return wrongArchitecture(program, facts, own);
    if (error == ENOEXEC && !facts.elf)
        return program + " is neither a program nor a script with a #! line";
    if (error == ENOENT && !facts.elf)
        return "cannot run " + program + ": its interpreter " + interpreter(program) + " is missing";
    if (error == ENOENT)
        return "cannot run " + program + ": its dynamic loader is missing (a program for another system?)";
    return "cannot run " + program + ": " + std::strerror(error);
}

// Starts the program with the simulator preloaded. The child reports a
// failed exec through a pipe that a successful exec closes.
pid_t start(const std::string &program, const Options &options, const Controller &controller)
{
    std::string preload = controller.library;
#ifdef KESTRIX_SIM_PRELOAD_FIRST
    // A sanitized simulator library needs the sanitizer runtime loaded first.
    preload = std::string(KESTRIX_SIM_PRELOAD_FIRST) + ":" + preload;
#endif
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    char duration[32] = "";
    if (options.duration > 0)
        std::snprintf(duration, sizeof duration, "%.17g", options.duration);
    std::vector<char *> arguments;
    for (const std::string &argument : options.command)
        arguments.push_back(const_cast<char *>(argument.c_str()));
    arguments.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        fail(BadUsage, std::string("cannot start ") + program + ": " + std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0)
        fail(BadUsage, "cannot start " + program + ": " + std::strerror(errno));
    if (child == 0) {
        ::close(report[0]);
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("KESTRIX_SIM_SPEED", options.speed.c_str(), 1);
        if (*duration)
            ::setenv("KESTRIX_SIM_DURATION", duration, 1);
        if (!options.script.empty())
            ::setenv("KESTRIX_SIM_SCRIPT", options.script.c_str(), 1);
        if (!options.trace.empty())
            ::setenv("KESTRIX_SIM_TRACE", options.trace.c_str(), 1);
        ::setenv("KESTRIX_SIM_STATUS_FD", std::to_string(controller.statusFd).c_str(), 1);
        ::setenv("KESTRIX_SIM_SYSFS", controller.sysfsFolder.c_str(), 1);
        ::execv(program.c_str(), arguments.data());
        const int error = errno;
        (void)!::write(report[1], &error, sizeof error);
        ::_exit(NotFound);
    }
    s_child = child;
    ::close(report[1]);
    ::close(controller.statusFd);
    int error = 0;
    ssize_t got;
    while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == sizeof error) {
        ::waitpid(child, nullptr, 0);
        ::nftw(controller.sysfsFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
        fail(CannotExecute, execFailure(program, error));
    }
    return child;
}

// ---- Step 5: wait for the end -------------------------------------------------

// The program ends itself at the duration; should it hang somewhere the
// simulator cannot see, step in once generous real time has passed: SIGTERM,
// then SIGKILL two seconds later.
int waitForEnd(pid_t child, const Options &options, double startReal)
{
    const bool deadline = options.duration > 0 && options.speed != "max";
    const double realLimit = deadline ? options.duration / options.factor + GraceSeconds : 0;
    int waitStatus = 0;
    bool stepped = false;
    for (;;) {
        const pid_t done = ::waitpid(child, &waitStatus, deadline ? WNOHANG : 0);
        if (done == child)
            return waitStatus;
        if (done < 0 && errno != EINTR)
            fail(BadUsage, std::string("lost the program: ") + std::strerror(errno));
        if (deadline && done == 0) {
            const double elapsed = monotonicSeconds() - startReal;
            if (elapsed > realLimit + 2 && stepped)
                ::kill(child, SIGKILL);
            else if (elapsed > realLimit && !stepped) {
                ::kill(child, SIGTERM);
                stepped = true;
            }
            timespec pause{0, 5000000};
            ::nanosleep(&pause, nullptr);
        }
    }
}

// ---- Step 6: summarise --------------------------------------------------------

const char *modeName(int mode)
{
    static const char *const Names[] = {"pwm", "pid-velocity", "mode-2", "pid-position"};
    return Names[mode & 3];
}

const char *directionName(int direction)
{
    static const char *const Names[] = {"off", "backward", "forward", "brake"};
    return Names[direction & 3];
}

std::string bits(unsigned value, int count)
{
    std::string text;
    for (int n = count - 1; n >= 0; --n)
        text += ((value >> n) & 1) ? '1' : '0';
    return text;
}

void printController(const kxsim::SimStatus &status, double simulated, double realSeconds)
{
    for (int m = 0; m < 4; ++m) {
        const int mode = (status.modes >> (2 * m)) & 3;
        std::fprintf(stderr, "  motor %d: position %.0f, speed %.1f ticks/s, %s", m, status.motorPosition[m],
                     status.motorSpeed[m], modeName(mode));
        if (mode == 0 || mode == 2)
            std::fprintf(stderr, " %s", directionName(status.directions >> (2 * m)));
        std::fprintf(stderr, ", %s\n", (status.motorStatus >> m) & 1 ? "done" : "moving");
    }
    for (int s = 0; s < 4; ++s)
        std::fprintf(stderr, "  servo %d: %s, command %.0f (%u us), shaft %.1f\n", s,
                     (status.servoEnables >> (4 + s)) & 1 ? "enabled" : "disabled",
                     std::floor(kxsim::servoPosition(status.servoCommand[s])), unsigned(status.servoCommand[s]),
                     kxsim::servoPosition(status.servoShaft[s]));
    std::fprintf(stderr, "  digital (pin 15..0): levels %s, outputs %s, directions %s, pull-ups %s\n",
                 bits(status.digitalIn, 16).c_str(), bits(status.digitalOut, 16).c_str(),
                 bits(status.digitalDirections, 16).c_str(), bits(status.digitalPullups, 16).c_str());
    std::fprintf(stderr, "  analog 0-5: %u %u %u %u %u %u, pull-ups (port 5..0) %s\n", status.analog[0],
                 status.analog[1], status.analog[2], status.analog[3], status.analog[4], status.analog[5],
                 bits(status.analogPullups, 6).c_str());
    std::fprintf(stderr, "  battery: %.3f V\n", status.batteryVolts);
    std::fprintf(stderr, "  exchanges: %llu (%.0f per simulated second, %.0f per real second)\n",
                 static_cast<unsigned long long>(status.exchanges),
                 simulated > 0 ? double(status.exchanges) / simulated : 0.0,
                 realSeconds > 0 ? double(status.exchanges) / realSeconds : 0.0);
}

// The shared libraries the dynamic loader cannot find for `program`, asked
// of the loader itself in its listing mode (the program does not run).
std::vector<std::string> missingLibraries(const std::string &program)
{
    std::vector<std::string> missing;
    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0)
        return missing;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(output[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::unsetenv("LD_PRELOAD");
        ::setenv("LD_TRACE_LOADED_OBJECTS", "1", 1);
        char *arguments[] = {const_cast<char *>(program.c_str()), nullptr};
        ::execv(program.c_str(), arguments);
        ::_exit(NotFound);
    }
    ::close(output[1]);
    std::string listing;
    char buffer[4096];
    for (ssize_t got; listing.size() < 65536 && (got = ::read(output[0], buffer, sizeof buffer)) != 0;)
        if (got > 0)
            listing.append(buffer, std::size_t(got));
        else if (errno != EINTR)
            break;
    ::close(output[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    for (std::size_t start = 0; start < listing.size();) {
        const std::size_t end = std::min(listing.find('\n', start), listing.size());
        const std::string line = listing.substr(start, end - start);
        const std::size_t name = line.find_first_not_of(" \t");
        if (line.find("=> not found") != std::string::npos && name != std::string::npos)
            missing.push_back(line.substr(name, line.find(' ', name) - name));
        start = end + 1;
    }
    return missing;
}

constexpr const char *PrefixHint = ": the loader does not look where it is installed; for a library under a "
                                   "non-system prefix, run with LD_LIBRARY_PATH=PREFIX/lib/... or link the "
                                   "program with -Wl,-rpath,PREFIX/lib/...";

// The program ran, or tried to, but the simulator never started in it.
std::string withoutSimulator(const std::string &program, int waitStatus)
{
    const ElfFacts facts = inspect(program);
    const ElfFacts own = inspect("/proc/self/exe");
    if (facts.elf && own.elf && facts.machine != own.machine)
        return wrongArchitecture(program, facts, own);
    if (facts.elf && !facts.dynamic)
        return program + " ran without the simulator: it is statically linked, and the simulator stands in "
                         "for the board at the dynamic linker; link it against the shared libkestrix";
    if (facts.elf && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == NotFound) {
        const std::vector<std::string> missing = missingLibraries(program);
        const auto ours = std::find_if(facts.needed.begin(), facts.needed.end(), [](const std::string &library) {
            return library.rfind("libkestrix", 0) == 0;
        });
        // Under user-mode emulation the loader's listing is the emulator's
        // own: then only the libraries the program names are known.
        if (missing.empty() && ours != facts.needed.end())
            return program + " cannot load " + *ours + " or another library it needs (the loader's message above "
                   + "names it)" + PrefixHint;
        if (!missing.empty()) {
            std::string names;
            for (const std::string &library : missing)
                names += (names.empty() ? "" : ", ") + library;
            return program + " cannot load " + names + PrefixHint;
        }
    }
    return "the simulator did not start in " + program
           + " (the loader refused the simulator library, or the program cleared LD_PRELOAD)";
}

int summarise(const kxsim::SimStatus &status, const Options &options, const std::string &program,
              int waitStatus, double realSeconds)
{
    const std::string &name = options.command[0];
    int result;
    std::string ending;
    if (status.endedByDuration.load()) {
        result = 0;
        ending = "ended at --duration";
    } else if (WIFEXITED(waitStatus)) {
        result = WEXITSTATUS(waitStatus);
        ending = "exited with status " + std::to_string(result);
    } else {
        const int signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
        result = 128 + signal;
        ending = "was killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    }
    if (status.magic != kxsim::SimStatus::Magic) {
        std::fprintf(stderr, "kestrix-sim: %s (%s)\n", withoutSimulator(program, waitStatus).c_str(),
                     ending.c_str());
        return result;
    }
    const double simulated = double(status.simulatedUs.load()) / 1e6;
    std::fprintf(stderr, "kestrix-sim: %s %s after %.3f s simulated (%.3f s real)\n", name.c_str(), ending.c_str(),
                 simulated, realSeconds);
    printController(status, simulated, realSeconds);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);
    const std::string program = locateProgram(options.command[0]);
    checkInputs(options);
    const Controller controller = prepareController();
    forwardSignals();
    const double startReal = monotonicSeconds();
    const pid_t child = start(program, options, controller);
    const int waitStatus = waitForEnd(child, options, startReal);
    const double realSeconds = monotonicSeconds() - startReal;
    ::nftw(controller.sysfsFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    return summarise(*controller.status, options, program, waitStatus, realSeconds);
}
