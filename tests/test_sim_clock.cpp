// The simulated clock as programs under kestrix-sim see it: every thread's
// waits add up on its own, in deadline order, through every call a C or C++
// program sleeps or waits with, and a finite speed gives the same times.
#include "emulation.h"
#include "clock/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <vector>
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome
{
    int status = -1;
    double realSeconds = 0;
    // Each output line "name value rest...", by name.
    std::map<std::string, std::vector<std::string>> lines;
    std::vector<std::string> order; // names in the order printed

    double value(const std::string &name) const
    {
        auto it = lines.find(name);
        if (it == lines.end() || it->second.empty()) {
            ADD_FAILURE() << "no line " << name;
            return -1;
        }
        return std::stod(it->second[0]);
    }
    std::string word(const std::string &name, std::size_t index) const
    {
        auto it = lines.find(name);
        return it != lines.end() && index < it->second.size() ? it->second[index] : "";
    }
};

// Runs PROGRAM under kestrix-sim at `speed` and reads what it prints. The
// launcher is started directly, not through a shell, so that a cross build's
// emulation can follow the exec.
Outcome simulate(const std::string &speed, const std::string &program, const std::string &argument = "")
{
    Outcome run;
    std::vector<std::string> words{KESTRIX_SIM_LAUNCHER, "--speed", speed, program};
    if (!argument.empty())
        words.push_back(argument);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) {
        ADD_FAILURE() << "no pipe";
        return run;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::close(out[0]);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, std::size_t(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, word;
        fields >> name;
        // Free text before a number ("arm done at 2.051 s") joins the name.
        std::vector<std::string> words;
        while (fields >> word)
            words.push_back(word);
        while (!words.empty() && !(std::isdigit(static_cast<unsigned char>(words[0][0])) || words[0][0] == '-')) {
            name += " " + words[0];
            words.erase(words.begin());
        }
        run.order.push_back(name);
        run.lines[name] = words;
    }
    return run;
}

// Virtual time is exact: a thread wakes at its deadline to the microsecond.
constexpr double Exact = 2e-6;

TEST(SimClock, SleepersOfEveryKindWakeAtTheirOwnDeadlinesInDeadlineOrder)
{
    const Outcome run = simulate("max", KESTRIX_CLOCK_PROBE, "order");
    ASSERT_EQ(run.status, 0);
    const std::vector<std::pair<std::string, double>> expected{
        {"usleep", 0.1},   {"select", 0.15},          {"abstime", 0.2}, {"poll", 0.25},
        {"nanosleep", 0.3}, {"realtime_abstime", 0.35}, {"sleep", 1.0}};
    ASSERT_EQ(run.order.size(), expected.size() + 1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(run.order[i], expected[i].first) << "wake-up " << i + 1;
        EXPECT_NEAR(run.value(expected[i].first), expected[i].second, Exact) << expected[i].first;
    }
    EXPECT_NEAR(run.value("end"), 1.0, Exact);
}

TEST(SimClock, EachThreadsSleepsAddUpOnItsOwnAndNoClockGoesBack)
{
    const Outcome run = simulate("max", KESTRIX_CLOCK_PROBE, "periods");
    ASSERT_EQ(run.status, 0);
    for (const char *period : {"period7000", "period11000", "period13000"}) {
        const double us = std::stod(std::string(period).substr(6));
        EXPECT_NEAR(run.value(period), 100 * us / 1e6, Exact) << period;
        EXPECT_EQ(run.word(period, 2), "0") << period << ": times that went back";
    }
}

TEST(SimClock, ConditionsMutexesAndJoinsWaitForOtherThreadsOnTheSimulatedClock)
{
    // An emulated processor can take longer than the clock's 100 ms of
    // patience for a new thread to reach its first sleep.
    if (underEmulation())
        GTEST_SKIP() << "a new thread's start is too slow under an emulated processor";
    const Outcome run = simulate("max", KESTRIX_CLOCK_PROBE, "waits");
    ASSERT_EQ(run.status, 0);
    // Signalled by a thread that slept a second, long before the 5 s limit.
    EXPECT_NEAR(run.value("signalled"), 1.0, Exact);
    EXPECT_EQ(run.word("signalled", 1), "ok");
    // A condition on the monotonic clock that nobody signals.
    EXPECT_NEAR(run.value("timedout"), 1.5, Exact);
    EXPECT_EQ(run.word("timedout", 1), "ETIMEDOUT");
    // The mutex comes free when its holder wakes after 0.2 s.
    EXPECT_NEAR(run.value("locked"), 1.7, Exact);
    EXPECT_NEAR(run.value("joined"), 1.7, Exact);
}

TEST(SimClock, AThreadBlockedOutOfSightDoesNotStopTheClock)
{
    const Outcome run = simulate("max", KESTRIX_CLOCK_PROBE, "blocked");
    ASSERT_EQ(run.status, 0);
    EXPECT_NEAR(run.value("slept"), 0.5, Exact);
    // Each sleep waits one grace period of real time at most.
    EXPECT_LT(run.realSeconds, 3.0);
}

TEST(SimClock, CppSleepForConditionWaitsAndSteadyClockMeasureSimulatedTime)
{
    const Outcome run = simulate("max", KESTRIX_STEADY_CLOCK);
    ASSERT_EQ(run.status, 0);
    EXPECT_NEAR(run.value("sleep_for"), 3000000, 1000);
    EXPECT_NEAR(run.value("wait_for"), 1500000, 1000);
    EXPECT_EQ(run.word("wait_for", 1), "timeout");
    EXPECT_NEAR(run.value("wait_until"), 250000, 1000);
    EXPECT_NEAR(run.value("join"), 500000, 1000);
    EXPECT_NEAR(run.value("future_timeout"), 750000, 1000);
    EXPECT_EQ(run.word("future_timeout", 1), "timeout");
    EXPECT_NEAR(run.value("future_ready"), 200000, 1000);
    EXPECT_EQ(run.word("future_ready", 1), "ready");
    EXPECT_NEAR(run.value("system_clock"), 6200000, 1000);
    // Far less real time than the 6.2 s simulated (even under emulation).
    EXPECT_LT(run.realSeconds, 3.1);
}

TEST(SimClock, CppProgramAtAFiniteSpeedSeesTheSameTimes)
{
    if (underEmulation())
        GTEST_SKIP() << "real-time figures under an emulated processor";
    // 6.2 s simulated at 5 times real time: about 1.24 s. No wait ends before
    // its deadline, but every real millisecond that a busy host wakes the
    // program late shows as 5 simulated ones. So each wait is held to its
    // length from below, and may last up to three times as long: short of
    // the five times that a speed applied to the clock and not to the
    // deadlines gives (applied the other way round, every wait is a fifth).
    // A host can be that late through a whole run: the first of up to three
    // runs that keeps the upper bounds counts; the lower ones hold in each.
    constexpr double Speed = 5;
    const struct
    {
        const char *name;
        double us, shortestUs;
    } waits[] = {{"sleep_for", 3000000, 3000000 - 1000},
                 {"wait_for", 1500000, 1500000 - 1000},
                 // The sleeper takes its deadline as it starts, which can come
                 // before the join's start is read: up to 60 ms of real time.
                 {"join", 500000, 500000 - 60000 * Speed},
                 {"future_timeout", 750000, 750000 - 1000},
                 {"system_clock", 6200000, 6200000 - 1000}};
    std::ostringstream late;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Outcome run = simulate("5", KESTRIX_STEADY_CLOCK);
        ASSERT_EQ(run.status, 0);
        EXPECT_EQ(run.word("wait_for", 1), "timeout");
        for (const auto &wait : waits)
            EXPECT_GE(run.value(wait.name), wait.shortestUs) << wait.name << " ended before its deadline";
        // In real time no quicker than the speed allows.
        EXPECT_GE(run.realSeconds, 6.2 / Speed);

        late.str("");
        for (const auto &wait : waits)
            if (run.value(wait.name) > 3 * wait.us)
                late << wait.name << " took " << run.value(wait.name) << " us; ";
        // No slower than the simulated time it took at that speed, with two
        // seconds for the launcher and the program to start and end.
        if (run.realSeconds > run.value("system_clock") / 1e6 / Speed + 2.0)
            late << "the run took " << run.realSeconds << " s; ";
        if (late.str().empty())
            break;
    }
    EXPECT_EQ(late.str(), "") << "in the last of three runs";
}

TEST(SimClock, TwoThreadsGiveTheSameDoneTimesAtMaxSpeedAsInRealTime)
{
    const Outcome fast = simulate("max", KESTRIX_TWO_THREADS);
    ASSERT_EQ(fast.status, 0);
    // Each thread keeps its own time: the arm's two-second move is not
    // delayed by the wheel's 3.5 s of sleeps, nor the wheel by the arm's polls.
    EXPECT_NEAR(fast.value("arm done at"), 2.05, 0.03);
    EXPECT_NEAR(fast.value("wheel done at"), 3.5, 0.005);
    EXPECT_LT(fast.realSeconds, 1.75);

    if (underEmulation() || sanitized())
        return; // an emulated or sanitized processor is late on every wake-up: no real-time figure means anything
    // In real time every late wake-up of a busy machine adds up, so the real
    // run gets three tries to come within 10 ms.
    const char *const lines[] = {"arm done at", "wheel done at"};
    double worst = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Outcome real = simulate("1", KESTRIX_TWO_THREADS);
        ASSERT_EQ(real.status, 0);
        worst = 0;
        for (const char *line : lines)
            worst = std::max(worst, std::fabs(fast.value(line) - real.value(line)));
        if (worst <= 0.010)
            break;
    }
    EXPECT_LE(worst, 0.010) << "largest difference of a done time, in seconds";
}

} // namespace

// The panel pauses, resumes and sets the speed from a thread of its own
// while the program's threads read the clock: every reading is whole (run
// under ThreadSanitizer in CI), and the monotonic clock, continued from the
// time of day at each change, never goes back by more than the real clocks'
// own jitter.
TEST(ClockReaders, ReadTheClockWhileThePanelPausesResumesAndSetsTheSpeed)
{
    kxsim::Clock &clock = kxsim::Clock::instance();
    clock.setMode(kxsim::Clock::Mode::Scaled, 2.0);
    std::atomic<bool> done{false};
    std::atomic<long> backwards{0};
    std::vector<std::thread> readers;
    for (int n = 0; n < 3; ++n)
        readers.emplace_back([&] {
            std::int64_t last = 0;
            while (!done.load()) {
                std::int64_t now = 0;
                ASSERT_TRUE(clock.read(CLOCK_MONOTONIC, now));
                if (now < last - 1000000)
                    backwards.fetch_add(1);
                last = std::max(last, now);
                std::int64_t boot = 0;
                clock.read(CLOCK_BOOTTIME, boot);
                const std::int64_t day = clock.toRealtime(CLOCK_MONOTONIC, now);
                EXPECT_GT(clock.speed(), 0);
                (void)clock.realDeadline(day + 1000000);
            }
        });
    for (int change = 0; change < 2000; ++change) {
        // Pause: virtual and still; resume at another speed.
        clock.setMode(change % 2 ? kxsim::Clock::Mode::Virtual : kxsim::Clock::Mode::Scaled, 1.0 + change % 7);
        if (change % 50 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    for (std::thread &reader : readers)
        reader.join();
    clock.setMode(kxsim::Clock::Mode::Real);
    EXPECT_EQ(backwards.load(), 0);
}
