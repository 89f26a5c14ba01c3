// Runs the built check-out programs on the simulated controller (kestrix-sim)
// and checks what they print, line by line.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Result
{
    int status = -1;      // exit status of kestrix-sim, -1 when it did not exit
    bool timedOut = false;
    std::string out, err;
    std::vector<std::string> lines; // `out` split at newlines, the newlines removed

    // Simulated seconds from the simulator's summary, -1 when absent.
    double simulatedSeconds() const
    {
        std::smatch m;
        static const std::regex after("after ([0-9.]+) s simulated");
        return std::regex_search(err, m, after) ? std::stod(m[1]) : -1;
    }
};

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

// A script of timed inputs in a temporary file, removed with the object.
class Script
{
public:
    explicit Script(const std::string &text)
    {
        char name[] = "/tmp/kestrix-checkout-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            (void)!::write(fd, text.data(), text.size());
            ::close(fd);
            m_path = name;
        }
    }
    ~Script()
    {
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

// kestrix-sim OPTIONS PROGRAM, with a real-time limit after which the whole
// process group is ended (a guard only: every run ends by itself).
Result run(const std::string &program, const std::vector<std::string> &options, double realLimit = 60)
{
    Result result;
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return result;
    std::vector<std::string> arguments{KESTRIX_SIM_PATH};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(std::string(KESTRIX_CHECKOUT_DIR) + "/" + program);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        std::vector<char *> argv;
        for (std::string &a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(out[1]);
    ::close(err[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(realLimit);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.lines = splitLines(result.out);
    return result;
}

const std::vector<std::string> Virtual{"--speed", "max"};

std::vector<std::string> virtualFor(double seconds)
{
    return {"--speed", "max", "--duration", std::to_string(seconds)};
}

// Lengths of the runs of equal keys, in order.
template <typename Key>
std::vector<std::pair<std::string, int>> runsOf(const std::vector<std::string> &lines, Key key)
{
    std::vector<std::pair<std::string, int>> runs;
    for (const std::string &line : lines) {
        const std::string k = key(line);
        if (runs.empty() || runs.back().first != k)
            runs.push_back({k, 0});
        ++runs.back().second;
    }
    return runs;
}

void expectAllMatch(const std::vector<std::string> &lines, const std::regex &pattern, std::size_t from = 0,
                    std::size_t to = std::string::npos)
{
    for (std::size_t i = from; i < std::min(to, lines.size()); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], pattern)) << "line " << i + 1 << ": '" << lines[i] << "'";
}

} // namespace

// Programs that end by themselves.

TEST(CheckoutPrograms, PidGainsCheckPrintsSixZerosAndEnds)
{
    const Result r = run("pid_gains_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "pid gains channel 0 =  P(0/0) I(0/0) D(0/0)\n");
}

TEST(CheckoutPrograms, RetiredIrCheckPrintsItsThreeLinesInOrder)
{
    const Result r = run("retired_ir_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Testing deprecated IR functions... don't expect much...\n"
                     "Ir::read() is no longer supported\n"
                     "Ir::write() is no longer supported\n");
}

TEST(CheckoutPrograms, BeepCheckRingsThreeTimesASecondApartWithoutANewline)
{
    const Result r = run("beep_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "beep!\abeep!\abeep!\a");
    EXPECT_NEAR(r.simulatedSeconds(), 3.0, 0.1) << r.err;
}

TEST(CheckoutPrograms, ServoSweepCheckPrintsNothingAndEndsAfterAboutAMinute)
{
    const Result r = run("servo_sweep_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NEAR(r.simulatedSeconds(), 60.0, 0.5) << r.err;
    // All four servos are left disabled.
    const std::regex servoLine("  servo [0-3]: ([a-z]+),.*");
    int disabled = 0;
    for (const std::string &line : splitLines(r.err)) {
        std::smatch m;
        if (std::regex_match(line, m, servoLine))
            disabled += m[1] == "disabled" ? 1 : 0;
    }
    EXPECT_EQ(disabled, 4) << r.err;
}

TEST(CheckoutPrograms, CompassCheckNumbersSixtyHeadingsThenSaysDone)
{
    const Result r = run("compass_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 61u) << r.out;
    for (int n = 1; n <= 60; ++n) {
        const std::string &line = r.lines[n - 1];
        const std::string prefix = std::to_string(n) + "/60 angle = ";
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        const std::string value = line.substr(prefix.size());
        EXPECT_TRUE(std::regex_match(value, std::regex("[0-9]+\\.[0-9]{6}"))) << line;
        EXPECT_LT(std::stod(value), 360.0) << line;
    }
    EXPECT_EQ(r.lines[60], "Done.");
    // Ten seconds of calibration, then sixty readings a second apart.
    EXPECT_NEAR(r.simulatedSeconds(), 70.0, 0.5) << r.err;
}

TEST(CheckoutPrograms, GraphicsCheckPrintsNothingAndSweepsForTenSeconds)
{
    const Result r = run("graphics_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NEAR(r.simulatedSeconds(), 10.0, 0.1) << r.err;
}

TEST(CheckoutPrograms, FirmwareVersionCheckPrintsUnknownTenTimes)
{
    const Result r = run("firmware_version_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines, std::vector<std::string>(10, "-1"));
    EXPECT_EQ(r.out.back(), '\n');
}

// The simulator's mobile base answers on /dev/ttyUSB0: the angle counts down
// while the base spins clockwise and back up while it spins the other way
// (test_world checks the angles against the robot's true turn).
TEST(CheckoutPrograms, BaseSpinCheckPrintsItsTwentySixLinesWithTheSimulatedBase)
{
    const Result r = run("base_spin_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 26u) << r.out;
    EXPECT_EQ(r.lines[0], "Connecting...");
    EXPECT_EQ(r.lines[1], "Spinning CW...");
    EXPECT_EQ(r.lines[12], "Spinning CCW...");
    EXPECT_EQ(std::vector<std::string>(r.lines.end() - 3, r.lines.end()),
              (std::vector<std::string>{"Stopping...", "Disconnecting...", "Done."}));
    const std::regex report("Distance: 0  Angle: (-?[0-9]+)");
    std::vector<int> angles;
    for (std::size_t k : {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(r.lines[k], m, report)) << r.lines[k];
        angles.push_back(std::stoi(m[1]));
    }
    EXPECT_EQ(angles.front(), 0);
    for (std::size_t k = 1; k < 10; ++k)
        EXPECT_LT(angles[k], angles[k - 1]) << "clockwise: counting down";
    for (std::size_t k = 11; k < 20; ++k)
        EXPECT_GT(angles[k], angles[k - 1]) << "counter-clockwise: counting up";
    EXPECT_NEAR(r.simulatedSeconds(), 20.0, 0.5) << r.err;
}

TEST(CheckoutPrograms, CameraRateCheckWithoutAnObjectPrintsMinusOneForBothCoordinates)
{
    const Result r = run("camera_rate_check", Virtual);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines.size(), 66u) << r.out;
    EXPECT_EQ(r.lines[0], "Camera open");
    EXPECT_EQ(r.lines[1], "load config");
    // No camera configuration is installed here, so no "...success".
    EXPECT_EQ(r.lines[2], "Cam width x height:  0 x 0");
    EXPECT_EQ(r.lines[3], "Num channels = 0");
    expectAllMatch(r.lines, std::regex("[0-9]+\\.[0-9]{6} objs: 0  \\(-1,-1\\)"), 4, 64);
    EXPECT_TRUE(std::regex_match(r.lines[64], std::regex("([0-9]+\\.[0-9]{6}|inf) fps"))) << r.lines[64];
    EXPECT_EQ(r.lines[65], "Camera close");
    EXPECT_EQ(r.out.back(), '\n');
}

TEST(CheckoutPrograms, SideButtonCheckEndsOnlyAfterAClick)
{
    const Script click("2 click side\n");
    const Result clicked = run("side_button_check", {"--speed", "max", "--duration", "10", "--script", click.path()});
    EXPECT_EQ(clicked.status, 0) << clicked.err;
    EXPECT_EQ(clicked.out, "Waiting for 'side' button to be pressed...\nBingo!... closing program.\n");
    EXPECT_GE(clicked.simulatedSeconds(), 2.0) << clicked.err;
    EXPECT_LT(clicked.simulatedSeconds(), 3.0) << clicked.err;

    const Result waiting = run("side_button_check", virtualFor(5));
    EXPECT_EQ(waiting.out, "Waiting for 'side' button to be pressed...\n");
    EXPECT_NE(waiting.err.find("ended at --duration"), std::string::npos) << waiting.err;
}

// Programs that run until they are stopped: the simulator ends them at
// --duration.

TEST(CheckoutPrograms, AnalogCheckAlternatesBlocksOfFiftyAfterAFirstBlockOf49)
{
    const Result r = run("analog_check", virtualFor(32));
    expectAllMatch(r.lines, std::regex("pu (enabled|disabled): [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+ [0-9]+"));
    const auto runs = runsOf(r.lines, [](const std::string &l) { return l.substr(0, l.find(':')); });
    ASSERT_GE(runs.size(), 5u) << r.out.substr(0, 400);
    EXPECT_EQ(runs[0], std::make_pair(std::string("pu enabled"), 49));
    for (std::size_t i = 1; i + 1 < runs.size(); ++i) {
        EXPECT_EQ(runs[i].first, i % 2 ? "pu disabled" : "pu enabled") << "block " << i;
        EXPECT_EQ(runs[i].second, 50) << "block " << i;
    }
    EXPECT_LE(runs.back().second, 50);
    // With the pull-ups on, an unconnected input reads full scale.
    EXPECT_EQ(r.lines.at(0), "pu enabled: 4095 4095 4095 4095 4095 4095");
}

TEST(CheckoutPrograms, DigitalToggleCheckDrivesOneFirstThenAlternates)
{
    const Result r = run("digital_toggle_check", virtualFor(8.5));
    ASSERT_GE(r.lines.size(), 8u) << r.out;
    expectAllMatch(r.lines, std::regex("([01]  ){10}"));
    for (std::size_t i = 0; i < r.lines.size(); ++i) {
        const char level = i % 2 == 0 ? '1' : '0';
        for (int pin = 0; pin <= 4; ++pin)
            EXPECT_EQ(r.lines[i][pin * 3], level) << "line " << i + 1 << " pin " << pin;
    }
}

TEST(CheckoutPrograms, PullupCheckTogglesThePullUpsOfPinsZeroToFour)
{
    const Result r = run("pullup_check", virtualFor(6.5));
    ASSERT_GE(r.lines.size(), 6u) << r.out;
    expectAllMatch(r.lines, std::regex("([01]  ){10}"));
    // Unconnected inputs read their pull-up: on in the first pass.
    for (std::size_t i = 0; i < r.lines.size(); ++i)
        EXPECT_EQ(r.lines[i].substr(0, 15), i % 2 == 0 ? "1  1  1  1  1  " : "0  0  0  0  0  ") << i;
}

TEST(CheckoutPrograms, DigitalInputCheckReadsSixteenPinsEverySecond)
{
    const Result r = run("digital_input_check", virtualFor(5.5));
    EXPECT_EQ(r.lines.size(), 5u) << r.out;
    expectAllMatch(r.lines, std::regex("([01]  ){16}"));
}

TEST(CheckoutPrograms, GoalAndRelativePositionChecksPrint22LinesPerCycle)
{
    const struct { const char *program, *out, *back; } cases[] = {
        {"goal_position_check", "410000 @ 300", "0 @ 800"},
        {"relative_position_check", "200000 @ 400", "-200000 @ 800"},
    };
    const std::regex counters("-?[0-9]+\t-?[0-9]+\t-?[0-9]+\t-?[0-9]+");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.program);
        // Two whole cycles and the header of the third.
        const Result r = run(c.program, virtualFor(40.5));
        ASSERT_EQ(r.lines.size(), 45u) << r.out;
        for (std::size_t i = 0; i < r.lines.size(); ++i) {
            const std::size_t inCycle = i % 22;
            if (inCycle == 0)
                EXPECT_EQ(r.lines[i], c.out) << "line " << i + 1;
            else if (inCycle == 11)
                EXPECT_EQ(r.lines[i], c.back) << "line " << i + 1;
            else
                EXPECT_TRUE(std::regex_match(r.lines[i], counters)) << "line " << i + 1 << ": " << r.lines[i];
        }
    }
}

TEST(CheckoutPrograms, VelocityAndPwmChecksAlternateDirections)
{
    const Result velocity = run("velocity_check", virtualFor(35));
    EXPECT_EQ(velocity.lines, (std::vector<std::string>{"forward", "backward", "forward", "backward"}));
    const Result pwm = run("pwm_check", virtualFor(10));
    EXPECT_EQ(pwm.lines, (std::vector<std::string>{"forward", "backward", "forward", "backward"}));
}

TEST(CheckoutPrograms, VelocityFloodCheckPrintsExactlyOneLine)
{
    const Result r = run("velocity_flood_check", virtualFor(0.5));
    EXPECT_EQ(r.out, "forward at velocity 25 on all four motors, in an infinite loop...\n");
    EXPECT_NE(r.err.find("ended at --duration"), std::string::npos) << r.err;
}

TEST(CheckoutPrograms, LedBlinkCheckPrintsNothing)
{
    const Result r = run("led_blink_check", virtualFor(3));
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("ended at --duration"), std::string::npos) << r.err;
}

TEST(CheckoutPrograms, InertialCheckPrintsNineAxesTenTimesASecond)
{
    const Result r = run("inertial_check", virtualFor(2.05));
    EXPECT_EQ(r.lines.size(), 21u) << r.out;
    expectAllMatch(r.lines, std::regex("ax:-?[0-9]+ ay:-?[0-9]+ az:-?[0-9]+   gx:-?[0-9]+ gy:-?[0-9]+ "
                                       "gz:-?[0-9]+   mx:-?[0-9]+ my:-?[0-9]+ mz:-?[0-9]+"));
}

TEST(CheckoutPrograms, BatteryCheckPrintsTheVoltageFourTimesASecond)
{
    const Script battery("0 battery 7.2\n1 battery 6.5\n");
    const Result r = run("battery_check", {"--speed", "max", "--duration", "1.9", "--script", battery.path()});
    EXPECT_EQ(r.lines, (std::vector<std::string>{"7.200000", "7.200000", "7.200000", "7.200000", "6.500000",
                                                 "6.500000", "6.500000", "6.500000"}));
}

TEST(CheckoutPrograms, LinkSpeedCheckPrintsOnlyReadingsOutsideSixToSevenAndAHalf)
{
    const std::regex average("[0-9]+\\.[0-9]{6} uS per sample average \\(([0-9]+\\.[0-9]{6}|inf) Hz\\)");
    const struct { const char *volts; const char *printed; } cases[] = {
        {"5.9", "5.900000"}, {"6.0", nullptr}, {"7.5", nullptr}, {"7.6", "7.600000"}, {"7.0", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.volts);
        const Script battery(std::string("0 battery ") + c.volts + "\n");
        // power_level never sleeps, so the clock must run by itself: ten
        // times real time, for one simulated second.
        const Result r = run("link_speed_check", {"--speed", "10", "--duration", "1", "--script", battery.path()}, 30);
        int readings = 0, averages = 0;
        for (const std::string &line : r.lines) {
            if (c.printed != nullptr && line == c.printed)
                ++readings;
            else if (std::regex_match(line, average))
                ++averages;
            else
                ADD_FAILURE() << "unexpected line '" << line << "'";
        }
        EXPECT_GT(averages, 0);
        if (c.printed != nullptr) {
            // Every reading of a batch is printed ahead of its average.
            EXPECT_GE(readings, 100 * averages);
            EXPECT_EQ(r.lines.at(0), c.printed);
        }
    }
}
