// kestrix-run: however the robot program ends, the launcher stops the motors
// and servos and hands on the program's status; what it cannot run it says.
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Outcome
{
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The first process found whose parent is `parent`, or 0 after `patience`.
pid_t childOf(pid_t parent, std::chrono::milliseconds patience = 10s)
{
    const auto until = std::chrono::steady_clock::now() + patience;
    do {
        if (DIR *proc = ::opendir("/proc")) {
            pid_t found = 0;
            while (dirent *entry = ::readdir(proc)) {
                const std::string stat = slurp(std::string("/proc/") + entry->d_name + "/stat");
                const std::size_t close = stat.rfind(')');
                if (close == std::string::npos)
                    continue;
                std::istringstream fields(stat.substr(close + 1));
                std::string state;
                pid_t ppid = 0;
                if (fields >> state >> ppid && ppid == parent) {
                    found = pid_t(std::atoi(entry->d_name));
                    break;
                }
            }
            ::closedir(proc);
            if (found)
                return found;
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < until);
    return 0;
}

// kestrix-sim starts its program below a keeper of its own, the process
// that ends everything of the run with it.
pid_t programOf(pid_t sim)
{
    const pid_t keeper = childOf(sim);
    return keeper == 0 ? 0 : childOf(keeper);
}

class RunLauncher : public ScratchFolder
{
protected:
    RunLauncher() : ScratchFolder("kestrix-run-test") {}

    // Runs `argv`; `during` gets the process's pid while it runs. A run that
    // outlasts a minute is killed and fails the test.
    Outcome run(const std::vector<std::string> &argv, const std::function<void(pid_t)> &during = {})
    {
        Outcome result;
        const pid_t child = startProgram(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()));
        if (during)
            during(child);
        int status = 0;
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                ADD_FAILURE() << argv[0] << " still ran after a minute";
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = read("stdout");
        result.err = read("stderr");
        return result;
    }

    // Waits until the program has written `text` on its standard output.
    void awaitOutput(const std::string &text)
    {
        const auto until = std::chrono::steady_clock::now() + 20s;
        while (slurp(file("stdout")).find(text) == std::string::npos) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no '" << text << "' on stdout";
            std::this_thread::sleep_for(10ms);
        }
    }
};

// The simulator's summary: every motor in PWM mode with direction off,
// every servo disabled, and at least one exchange made.
void expectEverythingStopped(const std::string &summary)
{
    for (int m = 0; m < 4; ++m)
        EXPECT_TRUE(std::regex_search(summary, std::regex("motor " + std::to_string(m) + ": [^\n]*pwm off")))
            << "motor " << m << " in:\n" << summary;
    for (int s = 0; s < 4; ++s)
        EXPECT_NE(summary.find("servo " + std::to_string(s) + ": disabled"), std::string::npos)
            << "servo " << s << " in:\n" << summary;
    std::smatch exchanges;
    ASSERT_TRUE(std::regex_search(summary, exchanges, std::regex("exchanges: ([0-9]+)"))) << summary;
    EXPECT_GT(std::stoi(exchanges[1]), 0) << summary;
}

// The number after `label` on the summary's line of `what`.
double summaryValue(const std::string &summary, const std::string &what, const std::string &label)
{
    std::smatch found;
    if (!std::regex_search(summary, found, std::regex(what + ": [^\n]*?" + label + " (-?[0-9.]+)")))
        return -1e9;
    return std::stod(found[1]);
}

// The trace's rows as numbers, by column name. The trace may still be
// written: a last line without its end is left out.
std::vector<std::map<std::string, double>> traceRows(const std::string &path)
{
    std::string text = slurp(path);
    text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    std::istringstream file(text);
    std::string line;
    std::vector<std::string> names;
    std::vector<std::map<std::string, double>> rows;
    while (std::getline(file, line)) {
        std::istringstream cells(line);
        std::string cell;
        if (names.empty()) {
            while (std::getline(cells, cell, ','))
                names.push_back(cell);
            continue;
        }
        std::map<std::string, double> row;
        for (std::size_t k = 0; k < names.size() && std::getline(cells, cell, ','); ++k)
            row[names[k]] = std::stod(cell);
        rows.push_back(row);
    }
    return rows;
}

} // namespace

// The program and kestrix-run share one simulated coprocessor: the motors
// the program set running turn in the model that kestrix-run then stops,
// and the summary shows that model.
TEST_F(RunLauncher, ProgramKilledBySigkillUnderTheSimulatorEndsWithMotorsOffAndStatus137)
{
    // pwm_check runs all four motors forward at full power for its first
    // three seconds. However late a busy host starts it, the kill waits for
    // the trace (written at least once a simulated second) to show them at
    // full power past 2000 ticks, 1.4 s after they started: that leaves the
    // kill inside those three seconds. The duration is only a backstop.
    const std::string trace = file("trace.csv");
    const auto turning = [](const std::map<std::string, double> &row) {
        for (int m = 0; m < 4; ++m) {
            const auto speed = row.find("m" + std::to_string(m) + "_speed");
            const auto position = row.find("m" + std::to_string(m) + "_position");
            if (speed == row.end() || position == row.end() || speed->second <= 1400 || position->second <= 2000)
                return false;
        }
        return true;
    };
    const Outcome result = run({KESTRIX_SIM_LAUNCHER, "--duration", "30", "--trace", trace, KESTRIX_RUN,
                                KESTRIX_PWM_CHECK},
                               [&](pid_t sim) {
                                   const pid_t launcher = programOf(sim);
                                   ASSERT_NE(launcher, 0) << "kestrix-run did not start";
                                   const pid_t program = childOf(launcher);
                                   ASSERT_NE(program, 0) << "pwm_check did not start";
                                   const auto until = std::chrono::steady_clock::now() + 20s;
                                   for (;;) {
                                       const auto rows = traceRows(trace);
                                       if (std::any_of(rows.begin(), rows.end(), turning))
                                           break;
                                       if (std::chrono::steady_clock::now() > until) {
                                           ADD_FAILURE() << "the motors never turned:\n" << slurp(trace);
                                           break;
                                       }
                                       std::this_thread::sleep_for(20ms);
                                   }
                                   ::kill(program, SIGKILL);
                               });
    EXPECT_EQ(result.status, 137) << result.err;
    EXPECT_NE(result.err.find("exited with status 137"), std::string::npos) << result.err;
    expectEverythingStopped(result.err);
    for (int m = 0; m < 4; ++m)
        EXPECT_GT(summaryValue(result.err, "motor " + std::to_string(m), "position"), 2000) << result.err;
}

// At --speed max the program runs on to the duration on its own clock (its
// parent waits and does not move time on), then kestrix-run stops what it
// left running: the servos it enabled and commanded are disabled where they
// stood.
TEST_F(RunLauncher, ProgramEndedByTheDurationAtFullSpeedLeavesTheServosDisabled)
{
    const Outcome result =
        run({KESTRIX_SIM_LAUNCHER, "--speed", "max", "--duration", "3", KESTRIX_RUN, KESTRIX_SERVO_SWEEP_CHECK});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("ended at --duration after 3.000 s simulated"), std::string::npos) << result.err;
    expectEverythingStopped(result.err);
    // At 3 s the sweep is at its second step: servo s commanded to entry
    // 1 + s of 0, 340, 682, 1023, 682, 340, its shaft there.
    const double second[4] = {340, 682, 1023, 682};
    for (int s = 0; s < 4; ++s) {
        const std::string servo = "servo " + std::to_string(s);
        EXPECT_NEAR(summaryValue(result.err, servo, "command"), second[s], 1) << result.err;
        EXPECT_NEAR(summaryValue(result.err, servo, "shaft"), second[s], 1) << result.err;
    }
}

TEST_F(RunLauncher, StatusOfTheProgramPassesThroughAndTheMotorsStopAfterEveryEnd)
{
    const struct
    {
        std::vector<std::string> args;
        int status;
    } ends[] = {{{"exit", "0"}, 0}, {{"exit", "3"}, 3}, {{"raise", "11"}, 139}, {{"raise", "6"}, 134}};
    for (const auto &end : ends) {
        std::vector<std::string> argv{KESTRIX_SIM_LAUNCHER, KESTRIX_RUN, KESTRIX_RUN_CHILD};
        argv.insert(argv.end(), end.args.begin(), end.args.end());
        const Outcome result = run(argv);
        EXPECT_EQ(result.status, end.status) << end.args[0] << " " << end.args[1] << "\n" << result.err;
        expectEverythingStopped(result.err);
    }
}

TEST_F(RunLauncher, TerminateAndInterruptReachTheProgram)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        const Outcome result = run({KESTRIX_SIM_LAUNCHER, KESTRIX_RUN, KESTRIX_RUN_CHILD, "wait"}, [&](pid_t sim) {
            const pid_t launcher = programOf(sim);
            ASSERT_NE(launcher, 0);
            awaitOutput("waiting");
            ::kill(launcher, signal);
        });
        // Had kestrix-run kept the signal to itself, the program would still
        // be waiting; had the signal killed kestrix-run, nothing would stop.
        EXPECT_EQ(result.status, 128 + signal) << result.err;
        expectEverythingStopped(result.err);
    }
}

TEST_F(RunLauncher, ProgramDoesNotOutliveTheLauncherEndedByTheSimulatorsDuration)
{
    pid_t program = 0;
    const Outcome result = run({KESTRIX_SIM_LAUNCHER, "--duration", "1", KESTRIX_RUN, KESTRIX_RUN_CHILD, "wait"},
                               [&](pid_t sim) {
                                   const pid_t launcher = programOf(sim);
                                   ASSERT_NE(launcher, 0);
                                   program = childOf(launcher);
                               });
    EXPECT_EQ(result.status, 0) << result.err;
    ASSERT_NE(program, 0) << "the program did not start";
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (::kill(program, 0) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(::kill(program, 0), 0) << "the program still runs after kestrix-run ended";
    if (::kill(program, 0) == 0)
        ::kill(program, SIGKILL);
}

TEST_F(RunLauncher, RefusesWhatItCannotRunWithOneLineAndTheShellsStatus)
{
    const std::string notExecutable = file("robot.txt");
    std::ofstream(notExecutable) << "not a program\n";
    ::chmod(notExecutable.c_str(), 0644);
    const struct
    {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 2, "kestrix-run: no program given"},
        {{"--fast", KESTRIX_RUN_CHILD}, 2, "kestrix-run: unknown option '--fast'"},
        {{file("missing")}, 127, "kestrix-run: cannot run " + file("missing") + ": No such file or directory"},
        {{"kestrix-no-such-program"}, 127, "cannot run kestrix-no-such-program: No such file or directory"},
        {{notExecutable}, 126, "kestrix-run: cannot run " + notExecutable + ": Permission denied"},
    };
    for (const auto &refused : cases) {
        std::vector<std::string> argv{KESTRIX_RUN};
        argv.insert(argv.end(), refused.args.begin(), refused.args.end());
        const Outcome result = run(argv);
        EXPECT_EQ(result.status, refused.status) << result.err;
        EXPECT_NE(result.err.find(refused.message), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        // Nothing ran, so the link is not touched (it would say it is missing).
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(RunLauncher, HelpAndVersion)
{
    for (const char *help : {"--help", "-h"}) {
        const Outcome result = run({KESTRIX_RUN, help});
        EXPECT_EQ(result.status, 0);
        for (const char *part : {"Usage: kestrix-run [OPTION] PROGRAM [ARGS...]", "--version", "SIGKILL",
                                 "SIGTERM", "128 + N", "Example"})
            EXPECT_NE(result.out.find(part), std::string::npos) << part << " in:\n" << result.out;
    }
    const Outcome version = run({KESTRIX_RUN, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kestrix-run " KESTRIX_VERSION_TEXT " (libkestrix " KESTRIX_VERSION_TEXT ")\n");
}
