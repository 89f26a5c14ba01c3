// Entry of libkestrix-sim.so, the simulator preloaded into a robot program.
// The launcher (kestrix-sim) configures it through environment variables:
//   KESTRIX_SIM_SPEED     "max" (virtual time, as fast as possible) or a
//                         factor for the scaled clock (default 1)
//   KESTRIX_SIM_DURATION  simulated seconds after which the program ends
//   KESTRIX_SIM_SCRIPT    script of timed inputs (see script.h)
//   KESTRIX_SIM_TRACE     CSV trace file
//   KESTRIX_SIM_STATUS_FD descriptor of the status block shared with the launcher
//   KESTRIX_SIM_SYSFS     folder that stands in for /sys/class/power_supply
//   KESTRIX_SIM_FOLDER    the launcher's folder for the run's files
//   KESTRIX_SIM_PANEL     descriptor of the screen memory the launcher's panel
//                         shows; the panel's commands come through the status
//   KESTRIX_SIM_WORLD     world file the robot drives in
//   KESTRIX_SIM_PLOT      SVG picture of the run, written at the end
//   KESTRIX_SIM_SEED      the seed of the world's realism and the sensors' noise
//   KESTRIX_SIM_OUTPUT_FD eventfd that counts outputs (trace, picture) that
//                         could not be written, for the launcher's status
//   KESTRIX_SIM_MATCH_FD  descriptor of the block the programs of a match share
//                         (model/match_block.h), with KESTRIX_SIM_ROBOT this
//                         program's robot in it (0 the first)
//   KESTRIX_SIM_CONSOLE_FD descriptor of the side of the program's console
//                         that the launcher reads under a challenge
//                         (clock/console_watch.h)
// They stay set, and the status block's descriptor stays open, so that every
// process this one starts (kestrix-run's robot program, say) joins the same
// run: one coprocessor, one clock, one trace and one status (see
// Simulation::Options::shared).
#include "fakes/fake_battery.h"
#include "clock/fake_clock.h"
#include "video/fake_framebuffer.h"
#include "clock/console_watch.h"
#include "preload/panel_control.h"
#include "preload/simulation.h"
#include "model/process_id.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using kxsim::Clock;
using kxsim::Simulation;

// The status block comes first in the shared memory, the run's coprocessor
// after it.
constexpr std::size_t SharedOffset = (sizeof(kxsim::SimStatus) + 63) / 64 * 64;

// Out of the way of the descriptors the program opens, which then number as
// they would without the simulator.
constexpr int StatusFdFloor = 500;

std::string variable(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "kestrix-sim: %s\n", message.c_str());
    std::fflush(stderr);
    ::_exit(2);
}

// A descriptor the launcher handed over, moved above the floor; the
// variable that named it then names the new number, for the processes this
// one starts.
int keptAboveFloor(int fd, const char *name, const char *what)
{
    if (fd >= StatusFdFloor)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD, StatusFdFloor);
    if (moved < 0)
        fail(std::string("cannot keep ") + what + ": " + std::strerror(errno));
    ::close(fd);
    ::setenv(name, std::to_string(moved).c_str(), 1);
    return moved;
}

// A process the program forks shares our files but not our run: only the
// process the launcher started moves the simulation on and ends it.
pid_t s_simulatedProcess = 0;

void afterSleep()
{
    if (kxsim::processId() != s_simulatedProcess)
        return;
    kxsim::PanelControl::instance().holdWhilePaused();
    if (Simulation::instance().sync())
        Simulation::instance().finishAtDuration();
}

void atExit()
{
    if (kxsim::processId() == s_simulatedProcess)
        Simulation::instance().finishAtExit();
}

// With a scaled clock nothing guarantees that the program sleeps or
// exchanges near the end, so a thread of ours watches the time; being the
// simulator's own, its clock_nanosleep goes to the system.
void watchDuration(double speed, std::int64_t end)
{
    Clock &clock = Clock::instance();
    for (;;) {
        const std::int64_t remaining = end - clock.nowUs();
        if (remaining <= 0)
            break;
        const double realUs = std::min(double(remaining) / speed, 50000.0) + 1;
        timespec pause{};
        pause.tv_sec = time_t(realUs / 1e6);
        pause.tv_nsec = long(std::fmod(realUs, 1e6) * 1000);
        ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
    Simulation::instance().finishAtDuration();
}

// At --speed max a program that never waits would hold the clock still for
// ever: a thread of ours lets it follow real time then (Clock::followRealTime),
// except while the panel holds the run paused, and ends the run at the
// duration.
// `end` comes from the starting thread, as for watchDuration: the watch may
// first run after a quick program has begun to exit.
void followRealTime(const kxsim::SimStatus *status, std::int64_t end)
{
    Clock &clock = Clock::instance();
    for (;;) {
        timespec pause{0, Clock::GraceMs * 500000L};
        ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
        if (status && status->panel.paused.load() != 0)
            continue;
        clock.followRealTime();
        if (end != 0 && clock.nowUs() >= end)
            Simulation::instance().finishAtDuration();
    }
}

// Starts a thread of the simulator's own and waits until it runs. A
// program may fork at once; a child forked while the thread was still being
// set up could find the allocator's locks taken for ever (AddressSanitizer's
// do not follow a fork), and hang at its exit.
template <typename Watch>
void startWatch(Watch watch)
{
    std::atomic<bool> running{false};
    {
        kxsim::OwnThreads own;
        std::thread([&running, watch] {
            running.store(true, std::memory_order_release);
            watch();
        }).detach();
    }
    while (!running.load(std::memory_order_acquire))
        ::sched_yield();
}

// The panel shows the program's output as it comes, so standard output is
// written line by line into the launcher's pipe as it would be to a
// terminal; the screen the panel shows is the fake framebuffer's memory.
void startPanel(kxsim::SimStatus *status, int screenFd, bool virtualTime, double speed)
{
    if (status == nullptr)
        fail("the panel needs the status block");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    kxsim::FakeFramebuffer::Screen screen;
    screen.columns = kxsim::PanelScreenColumns;
    screen.rows = kxsim::PanelScreenRows;
    if (!kxsim::FakeFramebuffer::instance().enable(screen, screenFd))
        fail(std::string("cannot share the screen with the panel: ") + std::strerror(errno));
    kxsim::PanelControl::instance().start(status, virtualTime, speed);
}

void startSimulationIn();

__attribute__((constructor)) void startSimulation()
{
    try {
        startSimulationIn();
    } catch (const std::exception &e) {
        fail(std::string("cannot start the simulation: ") + e.what());
    }
}

void startSimulationIn()
{
    const std::string speedText = variable("KESTRIX_SIM_SPEED");
    const std::string durationText = variable("KESTRIX_SIM_DURATION");
    const std::string scriptPath = variable("KESTRIX_SIM_SCRIPT");
    const std::string tracePath = variable("KESTRIX_SIM_TRACE");
    const std::string statusFd = variable("KESTRIX_SIM_STATUS_FD");
    const std::string sysfs = variable("KESTRIX_SIM_SYSFS");
    const std::string runFolder = variable("KESTRIX_SIM_FOLDER");
    const std::string panelScreen = variable("KESTRIX_SIM_PANEL");
    const std::string worldPath = variable("KESTRIX_SIM_WORLD");
    const std::string plotPath = variable("KESTRIX_SIM_PLOT");
    const std::string seedText = variable("KESTRIX_SIM_SEED");
    const std::string outputFd = variable("KESTRIX_SIM_OUTPUT_FD");
    const std::string matchFd = variable("KESTRIX_SIM_MATCH_FD");
    const std::string robotText = variable("KESTRIX_SIM_ROBOT");
    const std::string consoleText = variable("KESTRIX_SIM_CONSOLE_FD");

    bool virtualTime = false;
    double speed = 1.0;
    if (speedText == "max")
        virtualTime = true;
    else if (!speedText.empty()) {
        char *end = nullptr;
        speed = std::strtod(speedText.c_str(), &end);
        if (*end != '\0' || !(speed > 0) || !std::isfinite(speed))
            fail("bad speed '" + speedText + "'");
    }

    Simulation::Options options;
    if (!durationText.empty()) {
        char *end = nullptr;
        const double seconds = std::strtod(durationText.c_str(), &end);
        if (*end != '\0' || !(seconds > 0) || !std::isfinite(seconds))
            fail("bad duration '" + durationText + "'");
        options.durationUs = std::int64_t(std::llround(seconds * 1e6));
    }
    std::string error;
    if (!scriptPath.empty() && !kxsim::parseScriptFile(scriptPath, options.events, error))
        fail(error);
    options.tracePath = tracePath;
    if (!worldPath.empty()) {
        kxsim::World world;
        if (!kxsim::loadWorld(worldPath, world, error))
            fail(error);
        options.world = std::move(world);
    }
    options.plotPath = plotPath;
    options.runFolder = runFolder;
    if (!seedText.empty()) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long seed = std::strtoull(seedText.c_str(), &end, 10);
        if (*end != '\0' || errno != 0)
            fail("bad seed '" + seedText + "'");
        options.seed = seed;
    }
    bool joining = false;
    if (!statusFd.empty()) {
        int fd = std::atoi(statusFd.c_str());
        const std::size_t bytes = SharedOffset + Simulation::sharedBytes();
        struct stat file{};
        if (::fstat(fd, &file) != 0 || (std::size_t(file.st_size) < bytes && ::ftruncate(fd, off_t(bytes)) != 0))
            fail(std::string("cannot size the status block: ") + std::strerror(errno));
        void *block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (block == MAP_FAILED)
            fail(std::string("cannot map the status block: ") + std::strerror(errno));
        options.status = static_cast<kxsim::SimStatus *>(block);
        options.shared = static_cast<char *>(block) + SharedOffset;
        joining = options.status->magic == kxsim::SimStatus::Magic;
        keptAboveFloor(fd, "KESTRIX_SIM_STATUS_FD", "the status block");
    }
    if (!outputFd.empty())
        options.lostOutputFd =
            keptAboveFloor(std::atoi(outputFd.c_str()), "KESTRIX_SIM_OUTPUT_FD", "the launcher's output report");
    const int consoleFd = consoleText.empty() || options.status == nullptr
                              ? -1
                              : keptAboveFloor(std::atoi(consoleText.c_str()), "KESTRIX_SIM_CONSOLE_FD",
                                               "the program's console");
    if (!matchFd.empty()) {
        int fd = std::atoi(matchFd.c_str());
        void *header = ::mmap(nullptr, sizeof(kxsim::MatchBlock), PROT_READ, MAP_SHARED, fd, 0);
        if (header == MAP_FAILED || static_cast<kxsim::MatchBlock *>(header)->magic != kxsim::MatchBlock::Magic)
            fail("cannot map the match's block");
        const std::uint32_t robots = static_cast<kxsim::MatchBlock *>(header)->robots;
        ::munmap(header, sizeof(kxsim::MatchBlock));
        const unsigned long robot = std::strtoul(robotText.c_str(), nullptr, 10);
        if (robots < 1 || robots > kxsim::MatchBlock::MaxRobots || robot >= robots)
            fail("bad robot '" + robotText + "' in the match");
        const std::size_t bytes = Simulation::matchBytes(robots);
        struct stat file{};
        if (::fstat(fd, &file) != 0 || (std::size_t(file.st_size) < bytes && ::ftruncate(fd, off_t(bytes)) != 0))
            fail(std::string("cannot size the match's block: ") + std::strerror(errno));
        void *block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (block == MAP_FAILED)
            fail(std::string("cannot map the match's block: ") + std::strerror(errno));
        options.match = static_cast<kxsim::MatchBlock *>(block);
        options.robot = robot;
        keptAboveFloor(fd, "KESTRIX_SIM_MATCH_FD", "the match's block");
    }
    // Who joins a run finds the battery as the run left it.
    const double volts = joining ? options.status->batteryVolts : kxsim::constants::BatteryVolts;
    if (!sysfs.empty() && !kxsim::FakeBattery::instance().enable(sysfs, volts))
        fail("cannot write the battery files under " + sysfs);

    Clock &clock = Clock::instance();
    if (virtualTime)
        clock.setMode(Clock::Mode::Virtual);
    else
        clock.setMode(Clock::Mode::Scaled, speed);

    // The program's own main thread: its waits are scheduled from now on.
    kxsim::setThreadKind(kxsim::ThreadKind::Program);
    s_simulatedProcess = kxsim::processId();
    Simulation &simulation = Simulation::instance();
    if (!simulation.start(options, error))
        fail(error);
    clock.setSleepHook(afterSleep);
    if (consoleFd >= 0 && virtualTime) {
        static kxsim::ConsoleWatch *const s_console =
            new kxsim::ConsoleWatch(consoleFd, &options.status->clockUs, simulation.startUs());
        clock.setWatcher(s_console);
    }
    // Registered after the fake's singletons exist, so it runs before their
    // destructors.
    std::atexit(atExit);
    if (!panelScreen.empty())
        startPanel(options.status, std::atoi(panelScreen.c_str()), virtualTime, speed);
    if (options.durationUs > 0 && !virtualTime)
        startWatch([speed, end = Simulation::instance().endUs()] { watchDuration(speed, end); });
    if (virtualTime)
        startWatch([status = options.status, end = Simulation::instance().endUs()] { followRealTime(status, end); });
}

} // namespace
