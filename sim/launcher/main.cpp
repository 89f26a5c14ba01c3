// kestrix-sim [options] PROGRAM [ARGS...]: runs an unmodified robot program on
// the simulated controller by preloading libkestrix-sim.so into it.
//
// main reads as the launcher's steps; the command line is options.cpp, the
// messages for programs that cannot run are launch_errors.cpp, and the
// summary of the run at the end is summary.cpp.
#include "challenge/challenge_run.h"
#include "launcher/keeper.h"
#include "launcher/launch_errors.h"
#include "launcher/live_panel.h"
#include "launcher/options.h"
#include "launcher/summary.h"
#include "panel/panel_server.h"
#include "model/match_block.h"
#include "model/scratch_folder.h"
#include "model/script.h"
#include "model/sim_status.h"
#include "world/world.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <ftw.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using namespace kxsim;

constexpr double GraceSeconds = 10; // real time allowed beyond the duration before the launcher steps in

// ---- Step 1: find the program -----------------------------------------------

// The path to run, as the shell would find it; a one-line error otherwise.
// A robot of a match (`robot` names it) that cannot run is bad input: the
// match cannot be played.
[[noreturn]] void refuse(const std::string &robot, int status, const std::string &message)
{
    if (robot.empty())
        fail(status, message);
    fail(BadUsage, robot + ": " + message);
}

std::string locateProgram(const std::string &name, const std::string &robot = "")
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
        refuse(robot, CannotExecute, refused);
    refuse(robot, NotFound, "program not found: " + name);
}

// A challenge sets the run: its world with the start drawn from the seed,
// its start steps as the script, its time limit as the duration, and a
// trace to score from. The program's output goes through its console.
Options withChallenge(Options options, kxsim::ChallengeRun &challenge)
{
    if (options.challenge.empty())
        return options;
    const std::uint64_t seed = options.seed.empty() ? 1 : std::stoull(options.seed);
    std::string error;
    if (!challenge.prepare(options.challenge, seed, options.trace, error))
        fail(BadUsage, error);
    // A match's challenge has a side for each --robot; one robot's, a program alone.
    const Challenge &read = challenge.challenge();
    if (!options.command.empty() && read.match() && options.robots.size() != read.sides.size())
        fail(BadUsage, options.challenge + " is a match of " + std::to_string(read.sides.size())
                           + " sides: give each side's program with --robot (" + std::to_string(options.robots.size())
                           + " given)");
    if (!read.match() && !options.robots.empty())
        fail(BadUsage, options.challenge + " scores one robot: give its program alone, not with --robot");
    if (!options.check && !challenge.openConsoles(read.match() ? read.sides.size() : 1, error))
        fail(BadUsage, error);
    if (!options.report.empty() && !options.check) {
        // Refused now rather than after the run it would report.
        std::FILE *report = std::fopen(options.report.c_str(), "a");
        if (report == nullptr)
            fail(BadUsage, "cannot write report " + options.report + ": " + std::strerror(errno));
        std::fclose(report);
    }
    options.seed = std::to_string(seed);
    options.world = challenge.worldPath();
    options.script = challenge.scriptPath();
    options.trace = challenge.tracePath();
    options.duration = challenge.challenge().timeLimit;
    if (!options.speedGiven)
        options.speed = "max";
    return options;
}

// ---- Step 3: prepare the simulated controller ---------------------------------

struct Controller
{
    std::string library;     // libkestrix-sim.so
    int statusFd = -1;       // the status block, shared with the program
    kxsim::SimStatus *status = nullptr;
    std::string runFolder;   // the run's files, removed at its end
    std::string sysfsFolder; // in it: stands in for /sys/class/power_supply
    int lostOutputs = -1;    // eventfd: outputs of the run that could not be written
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

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// The runs' folders, removed at the launcher's exit however it comes (a
// panel that cannot open ends it before the program starts), by the process
// that made them and not by a child of it that exits.
std::vector<std::string> s_runFolders;
pid_t s_runFoldersOwner = 0;

void removeRunFolders()
{
    if (::getpid() != s_runFoldersOwner)
        return;
    for (const std::string &folder : s_runFolders)
        ::nftw(folder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

void removeAtExit(const std::string &folder)
{
    if (s_runFoldersOwner == 0) {
        s_runFoldersOwner = ::getpid();
        std::atexit(removeRunFolders);
    }
    s_runFolders.push_back(folder);
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
    // Inherited by every process of the run, close-on-exec in none.
    controller.lostOutputs = ::eventfd(0, EFD_NONBLOCK);
    if (controller.lostOutputs < 0)
        fail(BadUsage, std::string("cannot create the output report: ") + std::strerror(errno));

    // The program's side adds the camera's configurations; whatever ends
    // the program, the launcher removes the folder.
    controller.runFolder = kxsim::makeScratchFolder("kestrix-sim");
    if (!controller.runFolder.empty())
        removeAtExit(controller.runFolder);
    controller.sysfsFolder = controller.runFolder + "/power_supply";
    if (controller.runFolder.empty() || ::mkdir(controller.sysfsFolder.c_str(), 0700) != 0) {
        const int error = errno;
        fail(BadUsage, std::string("cannot create a folder for the battery: ") + std::strerror(error));
    }
    return controller;
}

// ---- Step 4: open the panel, before the program starts (live_panel.cpp) ---------

// ---- Step 5: start the program ------------------------------------------------

volatile sig_atomic_t s_child = 0;
volatile sig_atomic_t s_interrupted = 0; // a signal came: a lingering panel ends

void forward(int signal)
{
    s_interrupted = 1;
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

// The program's environment: ours, with the simulator's variables set to
// this run's and the simulator library first in LD_PRELOAD.
std::vector<std::string> programEnvironment(const Options &options, const Controller &controller, const Panel &panel,
                                            const std::vector<std::pair<std::string, std::string>> &settings)
{
    std::string preload = controller.library;
#ifdef KESTRIX_SIM_PRELOAD_FIRST
    // A sanitized simulator library needs the sanitizer runtime loaded first.
    preload = std::string(KESTRIX_SIM_PRELOAD_FIRST) + ":" + preload;
#endif
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    std::vector<std::pair<std::string, std::string>> ours = {
        {"LD_PRELOAD", preload},
        {"KESTRIX_SIM_SPEED", options.speed},
        {"KESTRIX_SIM_STATUS_FD", std::to_string(controller.statusFd)},
        {"KESTRIX_SIM_SYSFS", controller.sysfsFolder},
        {"KESTRIX_SIM_FOLDER", controller.runFolder},
        {"KESTRIX_SIM_OUTPUT_FD", std::to_string(controller.lostOutputs)},
        {"KESTRIX_SIM_MATCH_FD", ""},
        {"KESTRIX_SIM_ROBOT", ""},
        {"KESTRIX_SIM_CONSOLE_FD", ""},
    };
    for (const auto &set : settings)
        for (auto &mine : ours)
            if (mine.first == set.first)
                mine.second = set.second;
    if (options.duration > 0) {
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.17g", options.duration);
        ours.emplace_back("KESTRIX_SIM_DURATION", duration);
    }
    const std::pair<const char *, const std::string *> given[] = {{"KESTRIX_SIM_SCRIPT", &options.script},
        {"KESTRIX_SIM_TRACE", &options.trace}, {"KESTRIX_SIM_WORLD", &options.world},
        {"KESTRIX_SIM_PLOT", &options.plot}, {"KESTRIX_SIM_SEED", &options.seed}};
    for (const auto &value : given)
        ours.emplace_back(value.first, *value.second);
    ours.emplace_back("KESTRIX_SIM_PANEL", panel.screenFd >= 0 ? std::to_string(panel.screenFd) : "");
    // An empty value of ours unsets the variable: an outer run's must not
    // reach this one's program.
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (std::none_of(ours.begin(), ours.end(), [&](const auto &set) { return set.first == name; }))
            environment.push_back(text);
    }
    for (const auto &set : ours)
        if (!set.second.empty())
            environment.push_back(set.first + "=" + set.second);
    return environment;
}

std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (const std::string &text : strings)
        result.push_back(const_cast<char *>(text.c_str()));
    result.push_back(nullptr);
    return result;
}

// Starts the program with the simulator preloaded, below the keeper
// (keeper.h). The launcher may have threads by now, so everything the
// children need is built before the fork. A failed exec reports its errno
// through a pipe that a successful exec closes.
Keeper start(const std::string &program, const Options &options, const Controller &controller, const Panel &panel,
             int output, const std::vector<std::pair<std::string, std::string>> &settings = {})
{
    const std::vector<std::string> environment = programEnvironment(options, controller, panel, settings);
    const std::vector<char *> environmentPointers = pointers(environment);
    const std::vector<char *> arguments = pointers(options.command);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        fail(BadUsage, std::string("cannot start ") + program + ": " + std::strerror(errno));
    KeeperLaunch launch;
    launch.program = program.c_str();
    launch.arguments = arguments.data();
    launch.environment = environmentPointers.data();
    launch.stdoutFd = panel.output[1] >= 0 ? panel.output[1] : output;
    launch.execReport = report[1];
    Keeper keeper;
    if (!startKeeper(launch, keeper))
        fail(BadUsage, "cannot start " + program + ": " + std::strerror(errno));
    s_child = keeper.program;
    ::close(report[1]);
    ::close(controller.statusFd);
    if (panel.output[1] >= 0)
        ::close(panel.output[1]);
    int error = 0;
    ssize_t got;
    while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == sizeof error) {
        int ignored = 0;
        waitForKeeper(keeper, ignored, nullptr, nullptr);
        ::nftw(controller.runFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
        fail(CannotExecute, execFailure(program, error));
    }
    return keeper;
}

// ---- Step 6: wait for the end -------------------------------------------------

// The program ends itself at the duration; should it hang somewhere the
// simulator cannot see, step in once generous real time has passed: SIGTERM,
// then SIGKILL two seconds later. At --speed max there is no real time to
// measure against (a run may compute for longer than it simulates): there
// the program's side lets the clock follow real time while no thread waits,
// so the duration comes even to a program that never waits.
struct StepIn
{
    pid_t program;
    double realLimit;
    double startReal;
    bool stepped = false;
};

void stepIn(void *context)
{
    StepIn &step = *static_cast<StepIn *>(context);
    const double elapsed = monotonicSeconds() - step.startReal;
    if (elapsed > step.realLimit + 2 && step.stepped)
        ::kill(step.program, SIGKILL);
    else if (elapsed > step.realLimit && !step.stepped) {
        ::kill(step.program, SIGTERM);
        step.stepped = true;
    }
}

int waitForEnd(const Keeper &keeper, const Options &options, double startReal)
{
    const bool deadline = options.duration > 0 && options.speed != "max";
    StepIn step{keeper.program, deadline ? options.duration / options.factor + GraceSeconds : 0, startReal};
    int waitStatus = 0;
    if (!waitForKeeper(keeper, waitStatus, deadline ? stepIn : nullptr, &step))
        fail(BadUsage, "lost the program: its keeper ended without its status");
    return waitStatus;
}

} // namespace

namespace {

// ---- A match: one program per robot, one world, one clock ---------------------

// The block the robots' programs share (model/match_block.h), set up before
// any of them starts and inherited by all.
int createMatch(std::size_t robots, MatchBlock *&match)
{
    const int fd = ::memfd_create("kestrix-sim-match", 0);
    if (fd < 0 || ::ftruncate(fd, sizeof(MatchBlock)) != 0)
        fail(BadUsage, std::string("cannot create the match's block: ") + std::strerror(errno));
    void *block = ::mmap(nullptr, sizeof(MatchBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (block == MAP_FAILED)
        fail(BadUsage, std::string("cannot map the match's block: ") + std::strerror(errno));
    match = static_cast<MatchBlock *>(block);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    setUpMatch(*match, std::uint32_t(robots), std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec);
    return fd;
}

// Every robot's program runs against its own controller; a program that
// ends leaves its robot on the table, motors stopped, and the others go on.
// The exit status is the first robot's that is not 0; under a challenge,
// the challenge's (74 still for an output lost).
int runMatch(const Options &options, ChallengeRun &challenge)
{
    const std::size_t robots = options.robots.size();
    std::vector<Options> each(robots, options);
    std::vector<std::string> programs;
    for (std::size_t r = 0; r < robots; ++r) {
        each[r].command = options.robots[r];
        programs.push_back(locateProgram(each[r].command[0], "robot " + std::to_string(r + 1)));
    }
    checkInputs(options);
    MatchBlock *match = nullptr;
    const int matchFd = createMatch(robots, match);
    std::vector<Controller> controllers;
    std::vector<SimStatus *> statuses;
    for (std::size_t r = 0; r < robots; ++r) {
        controllers.push_back(prepareController());
        statuses.push_back(controllers.back().status);
    }
    std::vector<Panel> panels(robots);
    openMatchPanel(panels, options, each, statuses);
    forwardSignals();
    const double startReal = monotonicSeconds();
    std::vector<Keeper> keepers;
    for (std::size_t r = 0; r < robots; ++r) {
        // Under a challenge each program writes to a console of its own.
        ChallengeConsole *console = challenge.hasConsoles() ? &challenge.console(r) : nullptr;
        const int watch = console ? console->inheritWatch() : -1;
        keepers.push_back(start(programs[r], each[r], controllers[r], panels[r], console ? console->programOutput() : -1,
                                {{"KESTRIX_SIM_MATCH_FD", std::to_string(matchFd)},
                                 {"KESTRIX_SIM_ROBOT", std::to_string(r)},
                                 {"KESTRIX_SIM_CONSOLE_FD", watch >= 0 ? std::to_string(watch) : ""}}));
        if (console) {
            console->closeProgramOutput();
            console->start(*controllers[r].status);
        }
    }
    ::close(matchFd);
    std::atomic<bool> ended{false};
    if (panels[0].server)
        for (std::size_t r = 0; r < robots; ++r)
            panels[r].pump = std::thread(pumpOutput, std::ref(panels[r]), std::ref(*panels[0].server), r, std::cref(ended));
    std::vector<int> waitStatus(robots, 0);
    std::vector<double> realSeconds(robots, 0);
    std::vector<std::thread> waits;
    for (std::size_t r = 0; r < robots; ++r)
        waits.emplace_back([&, r] {
            waitStatus[r] = waitForEnd(keepers[r], each[r], startReal);
            realSeconds[r] = monotonicSeconds() - startReal;
            // However it ended, killed too, the others go on without it.
            matchLeave(*match, r);
            if (panels[0].server)
                panels[0].server->left(r);
        });
    for (std::thread &wait : waits)
        wait.join();
    ended = true;
    for (Panel &panel : panels)
        if (panel.pump.joinable())
            panel.pump.join();
    int result = 0;
    bool lostOutput = false;
    std::vector<const SimStatus *> finalStatus;
    std::vector<std::string> names;
    std::string summaries;
    for (std::size_t r = 0; r < robots; ++r) {
        ::nftw(controllers[r].runFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
        Options named = each[r];
        named.command[0] = "robot " + std::to_string(r + 1) + " (" + each[r].command[0] + ")";
        std::string summary;
        int code = summarise(*controllers[r].status, named, programs[r], waitStatus[r], realSeconds[r], summary);
        summaries += summary;
        std::uint64_t lost = 0;
        if (::read(controllers[r].lostOutputs, &lost, sizeof lost) == sizeof lost && lost > 0) {
            code = OutputLost;
            lostOutput = true;
        }
        if (result == 0)
            result = code;
        finalStatus.push_back(controllers[r].status);
        names.push_back(each[r].command[0]);
    }
    // A challenge's match: each side's score, and the result.
    if (challenge.hasConsoles()) {
        result = challenge.finishMatch(finalStatus, waitStatus, names, options.report);
        if (lostOutput)
            result = OutputLost;
    }
    s_interrupted = 0;
    return closePanel(panels[0], options, result, summaries, s_interrupted);
}

int run(int argc, char **argv)
{
    kxsim::ChallengeRun challenge;
    const Options options = withChallenge(parseOptions(argc, argv), challenge);
    if (options.check) {
        checkInputs(options);
        return 0;
    }
    if (!options.robots.empty())
        return runMatch(options, challenge);
    if (!options.replay.empty()) {
        forwardSignals();
        return replayRun(options, s_interrupted);
    }
    const std::string program = locateProgram(options.command[0]);
    checkInputs(options);
    const Controller controller = prepareController();
    Panel panel;
    openPanel(panel, options, *controller.status);
    forwardSignals();
    const double startReal = monotonicSeconds();
    ChallengeConsole *console = challenge.hasConsoles() ? &challenge.console(0) : nullptr;
    const int watch = console ? console->inheritWatch() : -1;
    const Keeper keeper = start(program, options, controller, panel, console ? console->programOutput() : -1,
                                {{"KESTRIX_SIM_CONSOLE_FD", watch >= 0 ? std::to_string(watch) : ""}});
    if (console) {
        console->closeProgramOutput();
        console->start(*controller.status);
    }
    std::atomic<bool> ended{false};
    if (panel.server)
        panel.pump = std::thread(pumpOutput, std::ref(panel), std::ref(*panel.server), 0, std::cref(ended));
    const int waitStatus = waitForEnd(keeper, options, startReal);
    const double realSeconds = monotonicSeconds() - startReal;
    ended = true;
    if (panel.pump.joinable())
        panel.pump.join();
    ::nftw(controller.runFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    std::string summary;
    int result = summarise(*controller.status, options, program, waitStatus, realSeconds, summary);
    if (!options.challenge.empty())
        result = challenge.finish(*controller.status, waitStatus, options.command[0], options.report);
    // The line that said what was lost came when it happened.
    std::uint64_t lost = 0;
    if (::read(controller.lostOutputs, &lost, sizeof lost) == sizeof lost && lost > 0)
        result = OutputLost;
    s_interrupted = 0; // a Ctrl-C that ended the program does not end the panel's stay
    return closePanel(panel, options, result, summary, s_interrupted);
}

} // namespace

// Every input is checked where it is read; an exception that still gets
// out (memory exhausted, say) is one line and BadUsage, not an abort.
int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        fail(BadUsage, std::string("cannot go on: ") + e.what());
    }
}
