// Programs run under kestrix-sim: what they print, what the trace shows and
// how the launcher ends them.
#include "emulation.h"
#include "scratch_folder.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Outcome = ProgramRun;
using namespace std::chrono_literals;

class SimLauncher : public ScratchFolder
{
protected:
    SimLauncher() : ScratchFolder("kestrix-sim-test") {}

    static std::string program(const std::string &name) { return std::string(KESTRIX_CHECKOUT_DIR) + "/" + name; }

    std::string script(const std::string &text) { return write("script.txt", text); }

    // Runs kestrix-sim with `arguments`; stdout and stderr are kept apart.
    Outcome simulate(const std::vector<std::string> &arguments) { return runProgram(KESTRIX_SIM_LAUNCHER, arguments); }
};

// The check-out programs come from their own folder of the project; a test
// whose program is not part of the build says so and is skipped.
#define REQUIRE_PROGRAM(name)                                                                    \
    do {                                                                                         \
        if (std::string(KESTRIX_BUILT_PROGRAMS).find(" " #name " ") == std::string::npos)        \
            GTEST_SKIP() << #name " is not part of this build";                                  \
    } while (0)

std::vector<int> numbers(const std::string &line)
{
    std::vector<int> result;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
        const std::size_t colon = word.find(':');
        result.push_back(std::stoi(colon == std::string::npos ? word : word.substr(colon + 1)));
    }
    return result;
}

} // namespace

TEST_F(SimLauncher, GoalPositionCountersRiseAtTheCommandedSpeedThenFall)
{
    REQUIRE_PROGRAM(goal_position_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "21.5", program("goal_position_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("ended at --duration after 21.500 s simulated"), std::string::npos) << run.err;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 22u) << run.out;
    EXPECT_EQ(lines[0], "410000 @ 300");
    EXPECT_EQ(lines[11], "0 @ 800");

    std::vector<int> previous{0, 0, 0, 0};
    for (int k = 1; k <= 10; ++k) {
        const auto counters = numbers(lines[std::size_t(k)]);
        ASSERT_EQ(counters.size(), 4u) << lines[std::size_t(k)];
        for (int m = 0; m < 4; ++m) {
            // 300 ticks a second, far from the goal; the first second loses
            // one lag's worth while the motor spins up.
            const int expected = k == 1 ? 300 - 15 : 300;
            EXPECT_NEAR(counters[std::size_t(m)] - previous[std::size_t(m)], expected, 3)
                << "line " << k << " motor " << m;
        }
        previous = counters;
    }
    // Back to 0 at 800 ticks a second: about 3000 ticks take under 4 s, then
    // the counters hold at the goal.
    for (int k = 1; k <= 10; ++k) {
        const auto counters = numbers(lines[std::size_t(11 + k)]);
        ASSERT_EQ(counters.size(), 4u);
        for (int m = 0; m < 4; ++m) {
            if (k <= 3)
                // The first second also turns the motor round from +300:
                // (300 + 800) ticks/s times the 0.05 s lag.
                EXPECT_NEAR(previous[std::size_t(m)] - counters[std::size_t(m)], k == 1 ? 800 - 55 : 800, 3);
            else
                EXPECT_EQ(counters[std::size_t(m)], 0);
        }
        previous = counters;
    }
}

TEST_F(SimLauncher, PwmCheckReversesEveryThreeSimulatedSeconds)
{
    REQUIRE_PROGRAM(pwm_check);
    const std::string tracePath = file("trace.csv");
    const Outcome run = simulate({"--speed=max", "--duration=12.5", "--trace", tracePath, program("pwm_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "forward");
    EXPECT_EQ(lines[1], "backward");
    EXPECT_EQ(lines[4], "forward");

    const Trace t = Trace::read(tracePath);
    ASSERT_EQ(t.rows.size(), 126u); // 0.0 to 12.5 s every 0.1 s
    for (int m = 0; m < 4; ++m) {
        const std::string speed = "m" + std::to_string(m) + "_speed";
        const std::string position = "m" + std::to_string(m) + "_position";
        for (int half = 0; half < 4; ++half) {
            const double sign = half % 2 == 0 ? 1 : -1;
            // Settled at full speed soon into each 3 s leg, and still so
            // just before the next reversal.
            EXPECT_NEAR(t.at(3 * half + 0.6, speed), sign * 1500, 10) << speed << " leg " << half;
            EXPECT_NEAR(t.at(3 * half + 2.9, speed), sign * 1500, 1) << speed << " leg " << half;
        }
        // The counter turns at each reversal.
        EXPECT_GT(t.at(3.0, position), t.at(2.5, position));
        EXPECT_GT(t.at(3.0, position), t.at(3.5, position));
        EXPECT_LT(t.at(6.1, position), t.at(5.5, position));
        EXPECT_LT(t.at(6.1, position), t.at(6.6, position));
    }
}

TEST_F(SimLauncher, ServoSweepShaftsFollowTheTableAndEndDisabled)
{
    REQUIRE_PROGRAM(servo_sweep_check);
    const std::string tracePath = file("trace.csv");
    const Outcome run = simulate({"--speed", "max", "--trace", tracePath, program("servo_sweep_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("exited with status 0"), std::string::npos) << run.err;
    for (int s = 0; s < 4; ++s)
        EXPECT_NE(run.err.find("servo " + std::to_string(s) + ": disabled"), std::string::npos) << run.err;

    const int table[6] = {0, 340, 682, 1023, 682, 340};
    const Trace t = Trace::read(tracePath);
    ASSERT_GE(t.rows.size(), 600u);
    for (int step = 0; step < 30; ++step)
        for (int s = 0; s < 4; ++s) {
            const double expected = table[(step + s) % 6];
            const std::string name = "s" + std::to_string(s);
            // Late in each 2 s step the shaft has reached the command.
            EXPECT_NEAR(t.at(2 * step + 1.5, name + "_command"), expected, 1) << name << " step " << step;
            EXPECT_NEAR(t.at(2 * step + 1.5, name + "_shaft"), expected, 1) << name << " step " << step;
        }
    // Between steps the shaft slews: 0.1 s into a 0 -> 340 step it is partway.
    const double early = t.at(6.1, "s3_shaft"); // servo 3: 340 at step 2 -> 0 at step 3
    EXPECT_GT(early, 5);
    EXPECT_LT(early, 335);
}

TEST_F(SimLauncher, SpeedTenRunsServoSweepInAboutSixRealSeconds)
{
    REQUIRE_PROGRAM(servo_sweep_check);
    const Outcome run = simulate({"--speed", "10", program("servo_sweep_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_GT(run.realSeconds, 5.5);
    EXPECT_LT(run.realSeconds, 15.0);
    // 60 s of sleeps, plus the exchanges' own time, ten times as fast as real
    // time (a slow host, or an emulated one, adds a little: every real
    // microsecond an exchange takes counts ten times).
    const std::string mark = "exited with status 0 after ";
    const std::size_t at = run.err.find(mark);
    ASSERT_NE(at, std::string::npos) << run.err;
    const double simulated = std::stod(run.err.substr(at + mark.size()));
    EXPECT_GE(simulated, 60.0) << run.err;
    if (!underEmulation()) {
        EXPECT_LT(simulated, 66.0) << run.err;
    }
}

TEST_F(SimLauncher, SideButtonCheckEndsOnceTheSideButtonIsClicked)
{
    REQUIRE_PROGRAM(side_button_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "30", "--script",
                              script("# a click after two seconds\n2 press side\n2.3 release side\n"),
                              program("side_button_check")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Waiting for 'side' button to be pressed...\nBingo!... closing program.\n");
    EXPECT_NE(run.err.find("exited with status 0 after 2.3"), std::string::npos) << run.err;
}

TEST_F(SimLauncher, SideButtonCheckKeepsWaitingWithoutAClick)
{
    REQUIRE_PROGRAM(side_button_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "5", "--script", script("1 press a\n2 release a\n"),
                              program("side_button_check")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Waiting for 'side' button to be pressed...\n");
    EXPECT_NE(run.err.find("ended at --duration after 5.000 s"), std::string::npos) << run.err;
}

TEST_F(SimLauncher, AnalogCheckPrintsScriptedValuesAndFloatingOnesWithoutPullups)
{
    REQUIRE_PROGRAM(analog_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "10.5", "--script",
                              script("0 analog 0 100\n0 analog 3 3000\n"), program("analog_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 99u);
    for (std::size_t i = 0; i < 49; ++i)
        EXPECT_EQ(lines[i], "pu enabled: 100 4095 4095 3000 4095 4095") << i;
    for (std::size_t i = 49; i < 99; ++i)
        EXPECT_EQ(lines[i], "pu disabled: 100 2048 2048 3000 2048 2048") << i;
}

TEST_F(SimLauncher, InertialCheckShowsGravityOnZ)
{
    REQUIRE_PROGRAM(inertial_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "1", "--script", script("0 heading 180\n"),
                              program("inertial_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 9u);
    for (const std::string &line : lines) {
        const auto v = numbers(line); // ax ay az gx gy gz mx my mz
        ASSERT_EQ(v.size(), 9u) << line;
        EXPECT_NEAR(v[0], 0, 3);
        EXPECT_NEAR(v[1], 0, 3);
        EXPECT_NEAR(v[2], 1000, 3);
        for (int g = 3; g < 6; ++g)
            EXPECT_NEAR(v[std::size_t(g)], 0, 3);
        EXPECT_NEAR(v[6], -300, 3); // facing south
        EXPECT_NEAR(v[7], 0, 3);
    }
}

TEST_F(SimLauncher, BatteryCheckReadsTheScriptedVoltage)
{
    REQUIRE_PROGRAM(battery_check);
    const Outcome run = simulate({"--speed", "max", "--duration", "1", "--script", script("0.6 battery 6.5\n"),
                              program("battery_check")});
    ASSERT_EQ(run.status, 0) << run.err;
    // Readings every 250 ms: 0, 0.25 and 0.5 s at the default, then 6.5 V.
    const auto lines = run.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "7.200000");
    EXPECT_EQ(lines[2], "7.200000");
    EXPECT_EQ(lines[3], "6.500000");
}

TEST_F(SimLauncher, ProgramsThatEndByThemselvesKeepTheirStatus)
{
    const Outcome run = simulate({"/bin/sh", "-c", "echo hello; exit 3"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "hello\n");
    EXPECT_NE(run.err.find("exited with status 3"), std::string::npos) << run.err;
}

TEST_F(SimLauncher, DurationEndsAProgramThatNeverSleepsOnAScaledClock)
{
    // A busy loop gives the simulator no sleep or exchange to act on.
    const Outcome run = simulate({"--speed", "4", "--duration", "2", KESTRIX_BUSY_LOOP});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "busy\n");
    EXPECT_NE(run.err.find("ended at --duration after 2.000 s simulated"), std::string::npos) << run.err;
    EXPECT_GT(run.realSeconds, 0.45);
    EXPECT_LT(run.realSeconds, 5.0);
}

TEST_F(SimLauncher, DurationEndsAProgramThatNeverWaitsAtFullSpeed)
{
    // No thread waits and nothing is due: simulated time follows real time.
    const pid_t sim = startProgram(KESTRIX_SIM_LAUNCHER, {"--speed", "max", "--duration", "1", KESTRIX_BUSY_LOOP});
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(sim, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() - start < 15s)
        ::usleep(10000);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (done == 0) {
        ::kill(sim, SIGKILL);
        ::waitpid(sim, &status, 0);
    }
    ASSERT_EQ(done, sim) << "still running after 15 s of real time";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read("stderr");
    EXPECT_NE(read("stderr").find("ended at --duration after 1.000 s simulated"), std::string::npos) << read("stderr");
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
}

TEST_F(SimLauncher, BadCommandLinesAndScriptsAreRejectedWithOneLine)
{
    const std::string good = script("1 press side\n");
    std::ofstream(file("bad.txt")) << "0 press a\n1.5 analog 7 100\n";
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus", "/bin/true"},
        {"--speed", "0", "/bin/true"},
        {"--speed", "fast", "/bin/true"},
        {"--duration", "-1", "/bin/true"},
        {"--duration"},
        {"--script", good},
        {"--script", file("missing.txt"), "/bin/true"},
        {"--script", file("bad.txt"), "/bin/true"},
        {"no-such-program-anywhere"},
        {m_folder},
        {"--trace", m_folder + "/no/such/folder/t.csv", "/bin/true"},
    };
    for (const auto &arguments : cases) {
        const Outcome run = simulate(arguments);
        std::string shown;
        for (const auto &a : arguments)
            shown += a + " ";
        EXPECT_NE(run.status, 0) << shown;
        EXPECT_EQ(run.err.rfind("kestrix-sim: ", 0), 0u) << shown << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << run.err;
        EXPECT_EQ(run.out, "") << shown;
    }
    const Outcome badLine = simulate({"--script", file("bad.txt"), "/bin/true"});
    EXPECT_NE(badLine.err.find("bad.txt:2: analog port must be 0-5"), std::string::npos) << badLine.err;
}

TEST_F(SimLauncher, DurationAndSpeedOutsideTheirRangesAreRefused)
{
    // 1e-7 s rounded to no limit at all, 9.222e12 s overflowed the
    // microsecond clock, a speed of 1e300 froze it.
    const std::vector<std::vector<std::string>> cases = {
        {"--duration", "1e-7"}, {"--duration", "9.222e12"}, {"--speed", "1e300"}, {"--speed=0.0001"}};
    for (std::vector<std::string> arguments : cases) {
        const std::string option = arguments[0].substr(0, arguments[0].find('='));
        arguments.push_back("/bin/true");
        const Outcome run = simulate(arguments);
        EXPECT_EQ(run.status, 2) << option << run.err;
        EXPECT_EQ(run.err.rfind("kestrix-sim: " + option + " takes ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    // The ends of the ranges are allowed.
    const Outcome edges = simulate({"--speed", "1000", "--duration", "0.000001", "/bin/true"});
    EXPECT_EQ(edges.status, 0) << edges.err;
}

TEST_F(SimLauncher, AScriptThatIsNotTextFailsAtOnceOnItsFirstLine)
{
    const Outcome run = simulate({"--script", "/dev/zero", "/bin/true"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kestrix-sim: /dev/zero:1: line longer than 4096 bytes (is this a script?)\n");
    EXPECT_LT(run.realSeconds, 5.0);
}

TEST_F(SimLauncher, InputsThatCannotBeReadAsFilesGetOneLineAndStatus2)
{
    ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
    struct Case
    {
        std::vector<std::string> arguments;
        std::string expected;
    } cases[] = {
        {{"--script", m_folder}, "kestrix-sim: cannot read script " + m_folder + ": it is a folder\n"},
        {{"--script", "/proc/self/mem"}, "kestrix-sim: cannot read script /proc/self/mem: Input/output error\n"},
        {{"--script", file("fifo")}, "kestrix-sim: cannot read script " + file("fifo")
                                         + ": it is a pipe, read once; the script is read twice, give a file\n"},
    };
    for (Case &c : cases) {
        c.arguments.push_back("/bin/true");
        const Outcome run = simulate(c.arguments);
        EXPECT_EQ(run.status, 2) << c.arguments[1];
        EXPECT_EQ(run.err, c.expected);
    }
}

// Command lines drawn at random from the options, values that are wrong in
// every way the launcher reads them, and programs that end at once: the
// launcher ends with a status of its own or the program's, never a signal,
// and a refusal is one line.
TEST_F(SimLauncher, ARandomCommandLineNeverCrashesTheLauncher)
{
    const std::string good = script("0.5 press a\n1 analog 2 100\n");
    std::ofstream(file("bad.txt")) << "1 analog 7 100\n";
    const std::string world = write("world.json", R"({"field": {"width": 2, "height": 1}})");
    const std::string badWorld = write("bad.json", R"({"field": {"width": 1e309, "height": 1}})");
    const std::vector<std::string> options = {"--duration", "--speed", "--script", "--script", "--trace", "--world",
                                              "--world", "--plot", "--speed", "--duration", "--trace", "--plot"};
    const std::vector<std::string> junk = {"--panel", "--bogus", "-", "--", "-x", "--help=1", "--version=2"};
    const std::vector<std::string> values = {
        "", "0", "-1", "1e309", "nan", "inf", "0.5", "1e9", "1e-7", "max", "fast", "0x10", "  1", "1,5",
        good, file("bad.txt"), world, badWorld, m_folder, "/dev/zero", "/dev/full", "/dev/null", "/proc/self/mem",
        file("missing"), file("out/trace.csv"), file("t.csv"), file("p.svg"), std::string(5000, 'x'), "\xff\xfe",
        "a=b", "--speed", "two\nlines", "\x1b[2J"};
    const std::vector<std::string> programs = {"/bin/true", "/bin/false", m_folder, file("missing"), "no-such-program"};
    std::mt19937 random(20240611);
    auto pick = [&](const std::vector<std::string> &from) { return from[random() % from.size()]; };
    // An emulated launcher starts some ten times slower, and a sanitized one
    // five times: fewer lines there (the same first ones: one seed).
    const int lines = underEmulation() ? 150 : sanitized() ? 200 : 1000;
    for (int n = 0; n < lines; ++n) {
        std::vector<std::string> arguments;
        for (unsigned k = random() % 5; k > 0; --k) {
            const std::string option = random() % 16 == 0 ? pick(junk) : pick(options);
            switch (random() % 4) {
            case 0: arguments.push_back(option); break;
            case 1: arguments.push_back(option + "=" + pick(values)); break;
            default: arguments.push_back(option); arguments.push_back(pick(values)); break;
            }
        }
        // Now and then no program at all, or junk after it.
        if (random() % 8 != 0)
            arguments.push_back(pick(programs));
        if (random() % 4 == 0)
            arguments.push_back(pick(values));
        const Outcome run = simulate(arguments);
        std::string shown;
        for (const std::string &a : arguments)
            shown += "'" + a.substr(0, 60) + "' ";
        ASSERT_LT(run.status, 128) << shown << run.err.substr(0, 300);
        ASSERT_NE(run.status, 125) << shown;
        if (run.status == 2) {
            EXPECT_EQ(run.err.rfind("kestrix-sim: ", 0), 0u) << shown << run.err.substr(0, 300);
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << run.err.substr(0, 300);
        }
    }
}

namespace {

// The processes whose environment holds `entry` (NAME=VALUE), as /proc shows
// them; zombies have no environment left and are not counted.
// The processes whose environment holds `entry` (among all, or `only`).
std::vector<pid_t> processesWith(const std::string &entry, pid_t only = 0)
{
    std::vector<pid_t> found;
    DIR *folder = ::opendir("/proc");
    while (dirent *process = folder ? ::readdir(folder) : nullptr) {
        const pid_t pid = pid_t(std::atoi(process->d_name));
        if (pid <= 0 || (only != 0 && pid != only))
            continue;
        std::ifstream environment("/proc/" + std::string(process->d_name) + "/environ", std::ios::binary);
        for (std::string variable; std::getline(environment, variable, '\0');)
            if (variable == entry) {
                found.push_back(pid);
                break;
            }
    }
    if (folder)
        ::closedir(folder);
    return found;
}

// Whether a process here may become a subreaper (asked in a child of ours,
// so that this one stays as it is).
bool canBecomeSubreaper()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

// A program with five children and one that left its session, then the
// launcher killed outright or asked to end: nothing of the run outlives it.
TEST_F(SimLauncher, EveryProcessOfTheRunEndsWithTheLauncherHoweverItEnds)
{
    // An orphan of the run (a process that left the program's session, or
    // whose parent ended first, as the shell does on SIGTERM) is found again
    // only when the keeper could become the run's subreaper, which a
    // user-mode emulator of the board does not let it be (it refuses the
    // request). Without one, only the whole tree of the SIGKILL case is
    // held to ending.
    const bool subreaper = canBecomeSubreaper();
    if (!subreaper && !underEmulation())
        ADD_FAILURE() << "this kernel cannot make a subreaper";
    for (const int signal : {SIGKILL, SIGTERM}) {
        const std::string entry = "KESTRIX_TEST_RUN=" + std::to_string(::getpid()) + "-" + std::to_string(signal);
        ::setenv("KESTRIX_TEST_RUN", entry.substr(entry.find('=') + 1).c_str(), 1);
        const pid_t sim = startProgram(KESTRIX_SIM_LAUNCHER,
            {"/bin/sh", "-c",
             "for i in 1 2 3 4 5; do sleep 300 & done; setsid env KESTRIX_LEFT_SESSION=1 sh -c 'sleep 300 &'; wait"});
        ::unsetenv("KESTRIX_TEST_RUN");
        // The launcher, the shell, its five sleeps and the detached one.
        std::size_t started = 0;
        for (int wait = 0; wait < 1000 && started < 8; ++wait) {
            ::usleep(10000);
            started = processesWith(entry).size();
        }
        EXPECT_GE(started, 8u) << "signal " << signal << ": " << read("stderr");
        ::kill(sim, signal);
        int status = 0;
        ::waitpid(sim, &status, 0);
        ::usleep(1000000);
        std::vector<pid_t> left = processesWith(entry);
        std::size_t outOfReach = 0;
        for (const pid_t pid : left)
            outOfReach += !subreaper && (signal == SIGTERM || !processesWith("KESTRIX_LEFT_SESSION=1", pid).empty());
        EXPECT_EQ(left.size(), outOfReach) << left.size() << " processes of the run outlived the launcher's "
                                           << (signal == SIGKILL ? "SIGKILL" : "SIGTERM");
        for (const pid_t pid : left)
            ::kill(pid, SIGKILL);
    }
}

// The launcher forks with the panel's thread running: its children make
// system calls only, up to the program's exec, and allocate nothing.
TEST_F(SimLauncher, ChildrenOfTheLauncherAllocateNothingBeforeTheyExecute)
{
#if !defined(KESTRIX_FORK_PROBE) || defined(KESTRIX_TESTS_UNDER_EMULATION)
    GTEST_SKIP() << "the probe replaces the allocator, which a sanitizer's runtime owns, and the emulator's "
                    "programs are started through a preloaded library of their own";
#else
    ::setenv("LD_PRELOAD", KESTRIX_FORK_PROBE, 1);
    const Outcome run = simulate({"--speed", "max", "--duration", "0.5", "--script", script("0.1 press a\n"),
                                  "/bin/sh", "-c", "echo ran"});
    ::unsetenv("LD_PRELOAD");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "ran\n");
    EXPECT_EQ(run.err.find("fork probe"), std::string::npos) << run.err;
#endif
}

// Outputs that cannot go where they are asked to go are refused before the
// program starts.
TEST_F(SimLauncher, OutputsThatCannotBeWrittenAreRefusedBeforeTheProgramStarts)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--trace", "/dev/full"}, "kestrix-sim: cannot write trace /dev/full: No space left on device\n"},
        {{"--trace", m_folder}, "kestrix-sim: cannot write trace " + m_folder + ": Is a directory\n"},
        {{"--plot", "/dev/full"}, "kestrix-sim: cannot write plot /dev/full: it is not a regular file\n"},
        {{"--plot", m_folder}, "kestrix-sim: cannot write plot " + m_folder + ": it is a folder\n"},
        {{"--plot", file("no/such/p.svg")},
         "kestrix-sim: cannot write plot " + file("no/such/p.svg") + ": No such file or directory\n"},
        {{"--record", m_folder}, "kestrix-sim: cannot write record " + m_folder + ": it is a folder\n"},
        {{"--record", file("no/such/run.kxr")},
         "kestrix-sim: cannot write record " + file("no/such/run.kxr") + ": No such file or directory\n"},
    };
    for (std::pair<std::vector<std::string>, std::string> c : cases) {
        for (const char *word : {"/bin/sh", "-c", "echo started"})
            c.first.push_back(word);
        const Outcome run = simulate(c.first);
        EXPECT_EQ(run.status, 2) << c.first[1];
        EXPECT_EQ(run.err, c.second);
        EXPECT_EQ(run.out, "") << c.first[1];
    }
}

namespace {

// kestrix-sim with `arguments` as a process whose files may grow to `bytes`
// at most, as on a disk that fills (SIGXFSZ ignored, so a write past the
// limit fails with EFBIG). Its output comes back through pipes.
ProgramRun simulateOnAFullDisk(const std::vector<std::string> &arguments, rlim_t bytes)
{
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{bytes, bytes};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char *> argv{const_cast<char *>(KESTRIX_SIM_LAUNCHER)};
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(KESTRIX_SIM_LAUNCHER, argv.data());
        ::_exit(125);
    }
    ::close(out[1]);
    ::close(err[1]);
    ProgramRun run;
    for (const auto &[fd, text] : {std::pair<int, std::string *>{out[0], &run.out}, {err[0], &run.err}}) {
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
            text->append(buffer, std::size_t(got));
        ::close(fd);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

} // namespace

// The disk fills in the middle of the run: the trace ends on a whole row,
// one line says so when it happens, and the run ends with 74. A picture that
// does not fit leaves no file, not even an empty one.
TEST_F(SimLauncher, ADiskThatFillsEndsTheTraceOnAWholeRowAndTheRunWith74)
{
    // The programs it runs are the build machine's own shell and true, which
    // a build for the board cannot simulate: under emulation the shell would
    // sleep its 30,000 s in real time.
    if (underEmulation())
        GTEST_SKIP() << "runs the build machine's /bin/sh";
    const std::string trace = file("trace.csv");
    // The status block the program maps (with the panel's history ring,
    // about 2.2 MB) is itself a file under this limit; 20,000 s of rows
    // are far more.
    constexpr rlim_t Limit = 16 << 20;
    const Outcome run = simulateOnAFullDisk(
        {"--speed", "max", "--duration", "20000", "--trace", trace, "/bin/sh", "-c", "sleep 30000"}, Limit);
    EXPECT_EQ(run.status, 74) << run.err;
    const std::string said = "kestrix-sim: cannot write trace " + trace + ": File too large; the trace stops before ";
    ASSERT_NE(run.err.find(said), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(said, run.err.find(said) + 1), std::string::npos) << "said twice:\n" << run.err;
    const std::string text = read("trace.csv");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the trace ends in the middle of a row";
    std::istringstream lines(text);
    std::string header, row;
    std::getline(lines, header);
    int rows = 0;
    while (std::getline(lines, row)) {
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), std::count(header.begin(), header.end(), ','))
            << "row " << rows << ": " << row;
        ++rows;
    }
    EXPECT_GT(rows, 10);
    EXPECT_LT(rows, 200000);

    // A field of 25,000 short walls draws a picture of some 2.8 MB, more
    // than this limit, under which the status block (with the camera's last
    // picture and the panel's history, about 2.2 MB) still fits.
    constexpr rlim_t PictureLimit = 2600000;
    std::string walls = R"({"field": {"width": 10, "height": 10}, "walls": [)";
    for (int k = 0; k < 25000; ++k) {
        const double x = k % 200 * 0.05, y = k / 200 * 0.08;
        char wall[64];
        std::snprintf(wall, sizeof wall, "%s[%.2f, %.2f, %.2f, %.2f]", k ? ",\n" : "", x, y, x + 0.02, y + 0.02);
        walls += wall;
    }
    const std::string world = write("walls.json", walls + "]}");
    const std::string plot = file("path.svg");
    const Outcome drawn = simulateOnAFullDisk(
        {"--speed", "max", "--duration", "1", "--world", world, "--plot", plot, "/bin/true"}, PictureLimit);
    EXPECT_EQ(drawn.status, 74) << drawn.err;
    EXPECT_NE(drawn.err.find("kestrix-sim: cannot write plot " + plot + ": File too large\n"), std::string::npos)
        << drawn.err;
    struct stat info{};
    EXPECT_NE(::stat(plot.c_str(), &info), 0) << "a picture of " << info.st_size << " bytes was left";
    std::size_t left = 0;
    DIR *folder = ::opendir(m_folder.c_str());
    while (dirent *entry = folder ? ::readdir(folder) : nullptr)
        left += std::string(entry->d_name).rfind("path.svg", 0) == 0;
    if (folder)
        ::closedir(folder);
    EXPECT_EQ(left, 0u) << "a temporary picture was left";
}

TEST_F(SimLauncher, HelpListsEveryOptionAndScriptCommandWithAnExample)
{
    for (const char *flag : {"--help", "-h"}) {
        const Outcome run = simulate({flag});
        EXPECT_EQ(run.status, 0) << flag;
        EXPECT_EQ(run.err, "") << flag;
        for (const char *entry : {"--duration SECONDS", "--speed FACTOR|max", "--script FILE", "--trace FILE",
                                  "-h, --help", "--version", "press BUTTON", "release BUTTON", "click BUTTON",
                                  "digital PIN 0|1|none", "analog PORT VALUE|none", "heading DEGREES", "spin DEG_PER_S",
                                  "battery VOLTS", "charging on|off", "Example:\n  ", "Exit status:"})
            EXPECT_NE(run.out.find(entry), std::string::npos) << flag << " does not show " << entry;
    }
    const Outcome version = simulate({"--version", "/bin/true"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("kestrix-sim ") + KESTRIX_VERSION_TEXT + "\n");
}

// Each reason a program cannot run on the simulator has its own message and
// remedy; none of them is the old catch-all "is it dynamically linked?".
class SimLauncherRefusal : public SimLauncher
{
protected:
    // The launcher's own lines on standard error (the dynamic loader may
    // have written one of its own before them).
    static std::string launcherLines(const Outcome &run)
    {
        std::string lines;
        std::istringstream text(run.err);
        for (std::string line; std::getline(text, line);)
            if (line.rfind("kestrix-sim: ", 0) == 0)
                lines += line + "\n";
        return lines;
    }
    void expectRefusal(const std::string &program, int status, const std::vector<std::string> &phrases)
    {
        const Outcome run = simulate({"--speed", "max", program});
        const std::string said = launcherLines(run);
        EXPECT_EQ(run.status, status) << program << ": " << run.err;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << program << ": " << run.err;
        for (const std::string &phrase : phrases)
            EXPECT_NE(said.find(phrase), std::string::npos) << program << " lacks '" << phrase << "': " << said;
        EXPECT_EQ(said.find("is it dynamically linked"), std::string::npos) << said;
    }
};

TEST_F(SimLauncherRefusal, MissingNotExecutableNotAProgramAndMissingInterpreter)
{
    std::ofstream(file("notes.txt")) << "1 press a\n";
    std::ofstream(file("text")) << "hello\n";
    std::ofstream(file("script")) << "#!/no/such/interpreter -x\necho hi\n";
    ::chmod(file("text").c_str(), 0755);
    ::chmod(file("script").c_str(), 0755);
    expectRefusal(file("missing"), 127, {"program not found: " + file("missing")});
    expectRefusal("no-such-program-anywhere", 127, {"program not found: no-such-program-anywhere"});
    expectRefusal(file("notes.txt"), 126, {file("notes.txt") + " is not executable (chmod +x"});
    expectRefusal(file("text"), 126, {"is neither a program nor a script with a #! line"});
    expectRefusal(file("script"), 126, {"its interpreter /no/such/interpreter is missing"});
}

TEST_F(SimLauncherRefusal, StaticallyLinkedProgramRunsWithItsOwnStatusAndIsNamedSo)
{
    expectRefusal(KESTRIX_STATIC_PROGRAM, 4, {"ran without the simulator: it is statically linked", "(exited with status 4)"});
}

TEST_F(SimLauncherRefusal, ProgramThatCannotFindLibkestrixGetsTheSearchPathHint)
{
    const Outcome probe = simulate({"--speed", "max", KESTRIX_UNLINKED_PROGRAM});
    if (probe.err.find("exited with status 4 after") != std::string::npos)
        GTEST_SKIP() << "a libkestrix installed on this machine is found without a run path";
    expectRefusal(KESTRIX_UNLINKED_PROGRAM, 127, {"cannot load libkestrix.so", "LD_LIBRARY_PATH=", "-Wl,-rpath,"});
}

TEST_F(SimLauncherRefusal, ProgramForTheBoardIsNamedWithTheEmulatorCommand)
{
    if (std::string(KESTRIX_BOARD_PROGRAM).empty())
        GTEST_SKIP() << "no board program: arm-linux-gnueabihf-gcc is missing, or this is a cross build";
    expectRefusal(KESTRIX_BOARD_PROGRAM, 126,
                  {"is a program for 32-bit ARM, this machine runs ", "qemu-arm -L /usr/arm-linux-gnueabihf",
                   "kestrix-sim " KESTRIX_BOARD_PROGRAM});
}
