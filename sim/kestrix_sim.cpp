// kestrix-sim [options] PROGRAM [ARGS...]: runs an unmodified robot program on
// the simulated controller by preloading libkestrix-sim.so into it.
#include "script.h"
#include "sim_status.h"
#include "world.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char *Usage =
    "usage: kestrix-sim [--duration SECONDS] [--speed FACTOR|max] [--script FILE] [--trace FILE] [--world FILE] "
    "[--plot FILE.svg] PROGRAM [ARGS...]";
constexpr double GraceSeconds = 10; // real time allowed beyond the duration before the launcher steps in

struct Options
{
    double duration = 0;
    std::string speed = "1";
    double factor = 1;
    std::string script;
    std::string trace;
    std::string world;
    std::string plot;
    std::vector<std::string> command;
};

volatile sig_atomic_t s_child = 0;

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "kestrix-sim: %s\n", message.c_str());
    std::exit(2);
}

bool positive(const std::string &text, double &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && errno == 0 && *end == '\0' && std::isfinite(value) && value > 0;
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
        if (argument.rfind("--", 0) != 0) {
            if (argument.size() > 1 && argument[0] == '-')
                usageError("unknown option '" + argument + "' (" + Usage + ")");
            break;
        }
        if (argument == "--help") {
            std::printf("%s\n", Usage);
            std::exit(0);
        }
        std::string value;
        const std::size_t equals = argument.find('=');
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument.resize(equals);
        } else if (argument == "--duration" || argument == "--speed" || argument == "--script"
                   || argument == "--trace" || argument == "--world" || argument == "--plot") {
            if (i + 1 >= argc)
                usageError(argument + " needs a value");
            value = argv[++i];
        }
        if (argument == "--duration") {
            if (!positive(value, options.duration))
                usageError("--duration needs a positive number of seconds, not '" + value + "'");
        } else if (argument == "--speed") {
            if (value != "max" && !positive(value, options.factor))
                usageError("--speed needs a positive factor or max, not '" + value + "'");
            options.speed = value;
        } else if (argument == "--script") {
            if (value.empty())
                usageError("--script needs a file");
            options.script = value;
        } else if (argument == "--trace") {
            if (value.empty())
                usageError("--trace needs a file");
            options.trace = value;
        } else if (argument == "--world" || argument == "--plot") {
            if (value.empty())
                usageError(argument + " needs a file");
            (argument == "--world" ? options.world : options.plot) = value;
        } else {
            usageError("unknown option '" + argument + "' (" + Usage + ")");
        }
    }
    for (; i < argc; ++i)
        options.command.emplace_back(argv[i]);
    if (options.command.empty())
        usageError(std::string("no program given (") + Usage + ")");
    return options;
}

bool runnable(const std::string &path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string findProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return runnable(name) ? name : "";
    const char *path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        std::string candidate = folders.substr(start, end - start);
        candidate = (candidate.empty() ? "." : candidate) + "/" + name;
        if (runnable(candidate))
            return candidate;
        start = end + 1;
    }
    return "";
}

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

void forward(int signal)
{
    if (s_child > 0)
        ::kill(s_child, signal);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

double monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

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

void summary(const kxsim::SimStatus &status, const std::string &program, const std::string &ending,
             double realSeconds)
{
    const double simulated = double(status.simulatedUs.load()) / 1e6;
    std::fprintf(stderr, "kestrix-sim: %s %s after %.3f s simulated (%.3f s real)\n", program.c_str(),
                 ending.c_str(), simulated, realSeconds);
    if (status.magic != kxsim::SimStatus::Magic) {
        std::fprintf(stderr, "kestrix-sim: the simulator did not start in the program (is it dynamically linked?)\n");
        return;
    }
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
    if (status.hasPose)
        std::fprintf(stderr, "  robot: x %.3f m, y %.3f m, heading %.1f deg, bump %s; %.3f m forward, %.1f deg turned in all\n",
                     status.x, status.y, status.headingDeg, status.bumped ? "closed" : "open", status.travelled,
                     status.turned);
    std::fprintf(stderr, "  exchanges: %llu (%.0f per simulated second, %.0f per real second)\n",
                 static_cast<unsigned long long>(status.exchanges),
                 simulated > 0 ? double(status.exchanges) / simulated : 0.0,
                 realSeconds > 0 ? double(status.exchanges) / realSeconds : 0.0);
}

} // namespace

int main(int argc, char **argv)
{
    const Options options = parseOptions(argc, argv);

    const std::string program = findProgram(options.command[0]);
    if (program.empty()) {
        std::fprintf(stderr, "kestrix-sim: program not found: %s\n", options.command[0].c_str());
        return 127;
    }
    std::string error;
    if (!options.script.empty()) {
        std::vector<kxsim::ScriptEvent> events;
        if (!kxsim::parseScriptFile(options.script, events, error)) {
            std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (!options.trace.empty()) {
        FILE *trace = std::fopen(options.trace.c_str(), "w");
        if (trace == nullptr) {
            std::fprintf(stderr, "kestrix-sim: cannot write trace %s: %s\n", options.trace.c_str(),
                         std::strerror(errno));
            return 2;
        }
        std::fclose(trace);
    }
    if (!options.world.empty()) {
        kxsim::World world;
        if (!kxsim::loadWorld(options.world, world, error)) {
            std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
            return 2;
        }
    }
    const std::string library = preloadLibrary();
    if (::access(library.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "kestrix-sim: simulator library not found: %s\n", library.c_str());
        return 2;
    }

    const int statusFd = ::memfd_create("kestrix-sim-status", 0);
    if (statusFd < 0 || ::ftruncate(statusFd, sizeof(kxsim::SimStatus)) != 0) {
        std::fprintf(stderr, "kestrix-sim: cannot create the status block: %s\n", std::strerror(errno));
        return 2;
    }
    void *block = ::mmap(nullptr, sizeof(kxsim::SimStatus), PROT_READ | PROT_WRITE, MAP_SHARED, statusFd, 0);
    if (block == MAP_FAILED) {
        std::fprintf(stderr, "kestrix-sim: cannot map the status block: %s\n", std::strerror(errno));
        return 2;
    }
    auto *status = static_cast<kxsim::SimStatus *>(block);

    const char *temporary = std::getenv("TMPDIR");
    std::string sysfsTemplate = std::string(temporary && *temporary ? temporary : "/tmp") + "/kestrix-sim.XXXXXX";
    std::vector<char> sysfs(sysfsTemplate.begin(), sysfsTemplate.end());
    sysfs.push_back('\0');
    if (::mkdtemp(sysfs.data()) == nullptr) {
        std::fprintf(stderr, "kestrix-sim: cannot create a folder for the battery: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string sysfsFolder = sysfs.data();

    std::string preload = library;
#ifdef KESTRIX_SIM_PRELOAD_FIRST
    // A sanitized simulator library needs the sanitizer runtime loaded first.
    preload = std::string(KESTRIX_SIM_PRELOAD_FIRST) + ":" + preload;
#endif
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;

    struct sigaction action{};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(signal, &action, nullptr);

    const double startReal = monotonicSeconds();
    const pid_t child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "kestrix-sim: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
        return 2;
    }
    if (child == 0) {
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("KESTRIX_SIM_SPEED", options.speed.c_str(), 1);
        if (options.duration > 0) {
            char duration[32];
            std::snprintf(duration, sizeof duration, "%.17g", options.duration);
            ::setenv("KESTRIX_SIM_DURATION", duration, 1);
        }
        if (!options.script.empty())
            ::setenv("KESTRIX_SIM_SCRIPT", options.script.c_str(), 1);
        if (!options.trace.empty())
            ::setenv("KESTRIX_SIM_TRACE", options.trace.c_str(), 1);
        if (!options.world.empty())
            ::setenv("KESTRIX_SIM_WORLD", options.world.c_str(), 1);
        if (!options.plot.empty())
            ::setenv("KESTRIX_SIM_PLOT", options.plot.c_str(), 1);
        ::setenv("KESTRIX_SIM_STATUS_FD", std::to_string(statusFd).c_str(), 1);
        ::setenv("KESTRIX_SIM_SYSFS", sysfsFolder.c_str(), 1);
        std::vector<char *> arguments;
        for (const std::string &argument : options.command)
            arguments.push_back(const_cast<char *>(argument.c_str()));
        arguments.push_back(nullptr);
        ::execv(program.c_str(), arguments.data());
        std::fprintf(stderr, "kestrix-sim: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    s_child = child;
    ::close(statusFd);

    // The program ends itself at the duration; should it hang somewhere the
    // simulator cannot see, step in once generous real time has passed.
    const bool deadline = options.duration > 0 && options.speed != "max";
    const double realLimit = deadline ? options.duration / options.factor + GraceSeconds : 0;
    int waitStatus = 0;
    bool stepped = false;
    for (;;) {
        const pid_t done = ::waitpid(child, &waitStatus, deadline ? WNOHANG : 0);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            std::fprintf(stderr, "kestrix-sim: lost the program: %s\n", std::strerror(errno));
            return 2;
        }
        if (deadline && done == 0) {
            const double elapsed = monotonicSeconds() - startReal;
            if (elapsed > realLimit + 2 && stepped)
                ::kill(child, SIGKILL);
            else if (elapsed > realLimit && !stepped) {
                ::kill(child, SIGTERM);
                stepped = true; // SIGKILL follows two seconds later
            }
            timespec pause{0, 5000000};
            ::nanosleep(&pause, nullptr);
        }
    }
    const double realSeconds = monotonicSeconds() - startReal;
    ::nftw(sysfsFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);

    const std::string name = options.command[0];
    int result;
    if (status->endedByDuration.load()) {
        summary(*status, name, "ended at --duration", realSeconds);
        result = 0;
    } else if (WIFEXITED(waitStatus)) {
        result = WEXITSTATUS(waitStatus);
        summary(*status, name, "exited with status " + std::to_string(result), realSeconds);
    } else {
        const int signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
        result = 128 + signal;
        summary(*status, name, std::string("was killed by signal ") + std::to_string(signal) + " ("
                    + strsignal(signal) + ")", realSeconds);
    }
    return result;
}
