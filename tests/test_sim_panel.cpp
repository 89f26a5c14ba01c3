// kestrix-sim --panel over HTTP, without a browser: the controls reach the
// program, bad requests change nothing, the end reaches the page, and the
// server refuses what it must.
#include <gtest/gtest.h>

#if !KESTRIX_SIM_PANEL
TEST(SimPanel, NeedsALauncherWithThePanel)
{
    GTEST_SKIP() << "kestrix-sim built without the panel (libmicrohttpd)";
}
#else
#include "panel_run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

std::string checkout(const std::string &name)
{
    return std::string(KESTRIX_CHECKOUT_DIR) + "/" + name;
}

std::string slurp(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class SimPanel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char path[] = "/tmp/kestrix-panel-test.XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ::close(fd);
        m_out = path;
    }
    void TearDown() override
    {
        if (!m_out.empty())
            std::remove(m_out.c_str());
    }

    // Polls GET /state until `ready` holds, for at most `seconds` of real
    // time (a loaded host takes a while over a step at a tenth of real time).
    // `path`: the state of a match's other robot, /state?robot=1.
    template <typename Ready>
    json stateWhen(int port, Ready ready, double seconds = 5, const std::string &path = "/state")
    {
        json state;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            state = panel::state(port, path);
            if (state.is_object() && ready(state))
                return state;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "state never reached: " << state.dump();
        return state;
    }

    // The events until the stream ends (for at most ten seconds), the last.
    static json lastEvent(panel::Events &events)
    {
        json last;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (json event; std::chrono::steady_clock::now() < until && !(event = events.next()).is_null();)
            last = event;
        return last;
    }

    std::string m_out;
};

TEST_F(SimPanel, ControlsReachTheProgramAndItsEndReachesThePage)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    // The address as printed takes a path: $URL/state.
    EXPECT_NE(run.err().find("panel at http://127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos)
        << run.err();

    // The program's output, passed through and shown.
    stateWhen(port, [](const json &s) { return s["console"]["text"] == "Waiting for 'side' button to be pressed...\n"; });
    EXPECT_EQ(panel::request(port, "GET", "/").status, 200);
    EXPECT_NE(panel::request(port, "GET", "/panel.js").body.find("EventSource"), std::string::npos);
    EXPECT_EQ(panel::request(port, "GET", "/screen").body.size(), 320u * 240u * 4u);

    // Inputs where nothing else drives them.
    EXPECT_EQ(panel::request(port, "POST", "/analog/2", R"({"value": 1234})").status, 204);
    EXPECT_EQ(panel::request(port, "POST", "/digital/9", R"({"value": 1})").status, 204);
    stateWhen(port, [](const json &s) { return s["analog"][2]["value"] == 1234 && s["digital"][9]["level"] == 1; });
    EXPECT_EQ(panel::request(port, "POST", "/analog/2", R"({"value": null})").status, 204);
    stateWhen(port, [](const json &s) { return s["analog"][2]["value"] == 2048; });

    // Paused, the simulated clock stands; a step moves it 0.1 s on. The
    // controls that take no body come as curl -X POST sends them: no body,
    // no Content-Length.
    EXPECT_EQ(panel::post(port, "/pause").status, 204);
    const json paused = stateWhen(port, [](const json &s) { return s["paused"] == true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double frozen = panel::state(port)["time"];
    EXPECT_LT(frozen - paused["time"].get<double>(), 0.02);
    // A step is 0.1 s of simulated time, taken here at a tenth of real time
    // (a second of it). It is over once the time has moved and the run is
    // paused again. The page then shows the time at the program's last look
    // at the clock, up to one of its 10 ms sleeps before the end; at this
    // speed a wake-up that a busy host makes 0.4 s late costs 0.04 s more.
    EXPECT_EQ(panel::request(port, "POST", "/speed", R"({"factor": 0.1})").status, 204);
    EXPECT_EQ(panel::post(port, "/step").status, 204);
    const json stepped = stateWhen(port, [frozen](const json &s) {
        return s["paused"] == true && s["time"].get<double>() > frozen;
    }, 10);
    EXPECT_NEAR(stepped["time"].get<double>() - frozen, 0.1, 0.05) << "from " << frozen;
    EXPECT_EQ(panel::request(port, "POST", "/speed", R"({"factor": 4})").status, 204);
    EXPECT_EQ(panel::post(port, "/resume").status, 204);
    const json resumed = stateWhen(port, [](const json &s) { return s["paused"] == false && s["speed"] == 4.0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_GT(panel::state(port)["time"].get<double>() - resumed["time"].get<double>(), 0.5);

    // Without a world the robot cannot be placed.
    EXPECT_EQ(panel::request(port, "POST", "/pose", R"({"x": 1, "y": 1, "heading": 0})").status, 409);

    // The event stream: one fresh state after another at the page's pace,
    // the end included. The pace is read from the server's own stamps
    // ("real", when it built each state), not from when this reader got
    // round to them: no two states within 20 ms (the page is not flooded),
    // and of nine gaps the shortest within 0.2 s (the server means 40 ms; a
    // busy host stretches some of them, hardly all nine five times over).
    panel::Events events(port);
    std::vector<double> built;
    for (json event; built.size() < 10 && !(event = events.next(10000)).is_null();)
        built.push_back(event["real"].get<double>());
    ASSERT_EQ(built.size(), 10u) << "the stream stopped";
    double shortest = 1e9;
    for (std::size_t i = 1; i < built.size(); ++i) {
        EXPECT_GE(built[i] - built[i - 1], 0.02) << "state " << i << " came too soon after the one before";
        shortest = std::min(shortest, built[i] - built[i - 1]);
    }
    EXPECT_LE(shortest, 0.2) << "seconds between two states at the quickest";

    // Press and release at once, quicker than the program looks: the click
    // still counts.
    EXPECT_EQ(panel::post(port, "/button/side/press").status, 204);
    EXPECT_EQ(panel::post(port, "/button/side/release").status, 204);
    const json last = lastEvent(events);
    ASSERT_TRUE(last.contains("ended")) << last.dump();
    EXPECT_EQ(last["running"], false);
    EXPECT_EQ(last["ended"]["status"], 0);
    EXPECT_NE(last["ended"]["summary"].get<std::string>().find("exited with status 0"), std::string::npos);
    EXPECT_EQ(last["console"]["text"], "Waiting for 'side' button to be pressed...\nBingo!... closing program.\n");

    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(slurp(m_out), "Waiting for 'side' button to be pressed...\nBingo!... closing program.\n");
    EXPECT_EQ(panel::request(port, "GET", "/state").status, 0) << "the server stops with the simulator";
}

// The library's click check reads the button twice; a press that lands
// between the two reads would be lost, so the panel changes buttons between
// the program's sleeps. Virtual time makes that window wide: several runs.
TEST_F(SimPanel, AClickPostedAtOnceIsSeenOnVirtualTime)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--speed", "max", checkout("side_button_check")}, m_out);
        ASSERT_GT(run.port(), 0) << run.err();
        stateWhen(run.port(), [](const json &s) { return s["time"].get<double>() > 1; });
        ASSERT_EQ(panel::request(run.port(), "POST", "/button/side/press").status, 204);
        ASSERT_EQ(panel::request(run.port(), "POST", "/button/side/release").status, 204);
        ASSERT_EQ(run.wait(3000), 0) << "click lost on attempt " << attempt;
    }
}

TEST_F(SimPanel, WithAWorldTheRobotIsShownAndCanBeMoved)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--world", KESTRIX_LINE_WORLD, KESTRIX_LINE_FOLLOWER}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json world = json::parse(panel::request(port, "GET", "/world").body, nullptr, false);
    ASSERT_TRUE(world.is_object());
    EXPECT_EQ(world["width"], 2.0);
    EXPECT_FALSE(world["marks"].empty());

    // The line follower drives along its line.
    const json first = stateWhen(port, [](const json &s) { return s.contains("robot"); });
    const json later = stateWhen(port, [&](const json &s) {
        return std::hypot(s["robot"]["x"].get<double>() - first["robot"]["x"].get<double>(),
                          s["robot"]["y"].get<double>() - first["robot"]["y"].get<double>()) > 0.02;
    });
    EXPECT_FALSE(later.is_null());

    // The world's reflectance sensor drives analog port 0: no slider there.
    EXPECT_EQ(later["driven"]["analog"], json::array({0}));
    EXPECT_EQ(panel::request(port, "POST", "/analog/0", R"({"value": 5})").status, 409);

    // Dragged to the far corner, off the line, the robot goes on from there.
    EXPECT_EQ(panel::request(port, "POST", "/pose", R"({"x": 1.8, "y": 1.3, "heading": 90})").status, 204);
    const json moved = stateWhen(port, [](const json &s) {
        return std::hypot(s["robot"]["x"].get<double>() - 1.8, s["robot"]["y"].get<double>() - 1.3) < 0.05;
    });
    EXPECT_NEAR(moved["robot"]["heading"].get<double>(), 90, 20);
}

TEST_F(SimPanel, BadRequestsAreRefusedWithAReasonAndChangeNothing)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    stateWhen(port, [](const json &s) { return !s["console"]["text"].get<std::string>().empty(); });
    ASSERT_EQ(panel::request(port, "POST", "/analog/0", R"({"value": 100})").status, 204);
    const std::string localhost = "localhost:" + std::to_string(port);

    const std::string self = "http://127.0.0.1:" + std::to_string(port);
    struct Case
    {
        const char *method, *path, *body;
        std::string host;
        int status;
        std::string headers = "";
    } cases[] = {
        {"POST", "/button/w/press", "", "", 404},
        {"POST", "/button/side/hold", "", "", 404},
        {"POST", "/button/side", "", "", 404},
        {"POST", "/analog/6", R"({"value": 1})", "", 404},
        {"POST", "/analog/-1", R"({"value": 1})", "", 404},
        {"POST", "/digital/16", R"({"value": 1})", "", 404},
        {"POST", "/digital/01x", R"({"value": 1})", "", 404},
        {"POST", "/analog/0", R"({"value": 4096})", "", 400},
        {"POST", "/analog/0", R"({"value": 1.5})", "", 400},
        {"POST", "/analog/0", R"({"value": "7"})", "", 400},
        {"POST", "/analog/0", R"({"level": 7})", "", 400},
        {"POST", "/analog/0", R"({"value": 7)", "", 400},
        {"POST", "/analog/0", "7", "", 400},
        {"POST", "/digital/3", R"({"value": 2})", "", 400},
        {"POST", "/speed", R"({"factor": 0})", "", 400},
        {"POST", "/speed", R"({"factor": 1e9})", "", 400},
        {"POST", "/speed", R"({"factor": "fast"})", "", 400},
        {"POST", "/speed", "", "", 400},
        {"POST", "/pose", R"({"x": 1, "y": "a", "heading": 0})", "", 400},
        {"POST", "/step", "", "", 409},
        {"GET", "/nowhere", "", "", 404},
        {"POST", "/state", "", "", 404},
        // A page elsewhere makes the browser send its own host name.
        {"POST", "/analog/0", R"({"value": 5})", "attacker.example:" + std::to_string(port), 403},
        {"POST", "/analog/0", R"({"value": 5})", "127.0.0.1:1", 403},
        {"GET", "/state", "", "-", 403},
        // A page elsewhere that posts to the right host name: its origin
        // tells, or when there is none, the browser's word on the site or
        // the page it came from.
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Origin: http://attacker.example\r\n"},
        {"POST", "/button/a/press", "", "", 403, "Origin: http://attacker.example\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Origin: null\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Origin: http://127.0.0.1:1\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Origin: " + self + ".attacker.example\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Sec-Fetch-Site: cross-site\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Sec-Fetch-Site: same-site\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403, "Referer: http://attacker.example/robot.html\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "", 403,
         "Origin: http://attacker.example\r\nOrigin: " + self + "\r\n"},
        // Two Host headers: whichever comes first, the request is refused.
        {"POST", "/analog/0", R"({"value": 5})", "", 400, "Host: attacker.example\r\n"},
        {"POST", "/analog/0", R"({"value": 5})", "attacker.example", 400, "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"},
    };
    for (const Case &c : cases) {
        const panel::Reply reply = panel::request(port, c.method, c.path, c.body, c.host, c.headers);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << " " << c.body << " " << c.headers;
        // One line that says why.
        EXPECT_FALSE(reply.body.empty()) << c.path;
        EXPECT_EQ(reply.body.find('\n'), reply.body.size() - 1) << reply.body;
    }
    EXPECT_EQ(panel::request(port, "GET", "/state", "", localhost).status, 200);
    // The page's own posts, and scripts that say nothing of a page.
    for (const std::string &headers : {"Origin: " + self + "\r\n", "Origin: http://" + localhost + "\r\n",
                                       std::string("Sec-Fetch-Site: same-origin\r\n"),
                                       "Referer: " + self + "/\r\n", std::string("Sec-Fetch-Site: none\r\n")})
        EXPECT_EQ(panel::request(port, "POST", "/analog/0", R"({"value": 100})", "", headers).status, 204) << headers;

    const json after = stateWhen(port, [](const json &s) { return s["analog"][0]["value"] == 100; });
    EXPECT_EQ(after["paused"], false);
    EXPECT_EQ(after["speed"], 1.0);
    EXPECT_EQ(after["running"], true);
    EXPECT_EQ(after["digital"][3]["level"], 0);
    EXPECT_EQ(run.wait(200), -1) << "the program still waits for its button";
}

// The HTTP server's library (and the TLS libraries it brings) is loaded by
// a panel, not by every launcher: a run without --panel, nearly every run,
// does not pay for it at its start.
TEST_F(SimPanel, OnlyALauncherWithAPanelLoadsTheHttpLibrary)
{
    auto loaded = [](pid_t launcher) {
        std::ifstream maps("/proc/" + std::to_string(launcher) + "/maps");
        std::stringstream text;
        text << maps.rdbuf();
        return text.str().find("libmicrohttpd") != std::string::npos;
    };
    const pid_t plain = ::fork();
    if (plain == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        ::execl(KESTRIX_SIM_LAUNCHER, KESTRIX_SIM_LAUNCHER, "--duration", "0.5", checkout("side_button_check").c_str(),
                static_cast<char *>(nullptr));
        ::_exit(126);
    }
    ::usleep(200000); // the program waits for its button in real time meanwhile
    EXPECT_FALSE(loaded(plain));
    int status = 0;
    ASSERT_EQ(::waitpid(plain, &status, 0), plain);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    ASSERT_GT(run.port(), 0) << run.err();
    EXPECT_TRUE(loaded(run.pid()));
}

TEST_F(SimPanel, TakenPortEndsTheLauncherBeforeTheProgram)
{
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr *>(&address), &size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=" + port, checkout("side_button_check")}, m_out);
    EXPECT_EQ(run.wait(), 2);
    EXPECT_NE(run.err().find("127.0.0.1:" + port + " (is the port taken?"), std::string::npos) << run.err();
    EXPECT_EQ(slurp(m_out), "") << "the program never started";
    ::close(taken);

    // The same with another kestrix-sim's panel on the port.
    panel::Run first(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    ASSERT_GT(first.port(), 0) << first.err();
    const std::string firstPort = std::to_string(first.port());
    const std::string secondOut = m_out + ".second";
    panel::Run second(KESTRIX_SIM_LAUNCHER, {"--panel=" + firstPort, checkout("side_button_check")}, secondOut);
    EXPECT_EQ(second.wait(), 2);
    EXPECT_NE(second.err().find("127.0.0.1:" + firstPort + " (is the port taken?"), std::string::npos) << second.err();
    EXPECT_EQ(slurp(secondOut), "") << "the second program never started";
    std::remove(secondOut.c_str());

    for (const char *bad : {"--panel=http", "--panel=65536", "--panel=80.5", "--panel=-1"}) {
        panel::Run refused(KESTRIX_SIM_LAUNCHER, {bad, checkout("side_button_check")}, m_out);
        EXPECT_EQ(refused.wait(), 2) << bad;
        EXPECT_NE(refused.err().find("--panel takes a port from 0 to 65535"), std::string::npos) << refused.err();
    }
}

TEST_F(SimPanel, ScreenShowsWhatTheGraphicsDraw)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--duration", "4", checkout("graphics_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    // The red disc crosses row 50 of the 100 x 100 window in the screen's
    // top left corner; nothing is drawn outside the window.
    bool red = false, outside = false;
    for (int i = 0; i < 100 && !red; ++i) {
        const std::string screen = panel::request(port, "GET", "/screen").body;
        ASSERT_EQ(screen.size(), 320u * 240u * 4u);
        for (int x = 0; x < 100; ++x) {
            const std::size_t at = (50u * 320u + unsigned(x)) * 4u;
            red = red || (std::uint8_t(screen[at]) == 255 && screen[at + 1] == 0 && screen[at + 2] == 0);
        }
        for (std::size_t at = (60u * 320u + 150u) * 4u; at < screen.size(); at += 4 * 97)
            outside = outside || screen[at] != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(red);
    EXPECT_FALSE(outside);
    EXPECT_NE(panel::state(port)["screen"]["version"], "");
    EXPECT_EQ(run.wait(), 0);
}

TEST_F(SimPanel, BodiesPastAFewKilobytesAreRefusedUnread)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const std::string head = "POST /analog/2 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";

    // Announced: refused before the body is sent.
    const panel::Reply announced =
        panel::roundTrip(port, head + "Content-Length: 314572800\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(announced.status, 413);
    EXPECT_EQ(announced.body.find('\n'), announced.body.size() - 1) << announced.body;

    // Chunked, it has no length to refuse up front: once the chunks pass the
    // limit the connection is closed, without waiting for the rest.
    const auto start = std::chrono::steady_clock::now();
    const panel::Reply chunked = panel::roundTrip(
        port, head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n100000\r\n" + std::string(8192, ' '),
        "127.0.0.1", 3000);
    EXPECT_EQ(chunked.status, 0) << chunked.body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    // Sent all the same: the launcher does not keep it.
    const int fd = panel::connectTo(port);
    panel::sendAll(fd, head + "Content-Length: 314572800\r\n\r\n");
    const std::string megabyte(1 << 20, ' ');
    for (int i = 0; i < 300 && panel::sendAll(fd, megabyte); ++i) {
    }
    ::close(fd);
    EXPECT_LT(panel::peakResident(run.pid()), std::size_t(100) << 20);

    // A body of a few hundred bytes still goes through.
    EXPECT_EQ(panel::request(port, "POST", "/analog/2", R"({"value": 7})" + std::string(500, ' ')).status, 204);
    stateWhen(port, [](const json &s) { return s["analog"][2]["value"] == 7; });
}

TEST_F(SimPanel, APoseOffTheFieldOrInAnObstacleIsRefused)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER,
                   {"--panel=0", "--duration", "60", "--world", KESTRIX_ARENA_WORLD, KESTRIX_LINE_FOLLOWER}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    stateWhen(port, [](const json &s) { return s.contains("robot"); });

    // The arena: 2 m x 2 m with border walls, a wall at x = 1 from y = 1.4
    // to 2, a red block at (1.4-1.55, 0.4-0.55); the robot's radius is 9 cm.
    for (const char *pose : {
             R"({"x": 1e308, "y": -1e308, "heading": 1e308})",
             R"({"x": -0.5, "y": 1, "heading": 0})",
             R"({"x": 1, "y": 2.5, "heading": 0})",
             R"({"x": 0.05, "y": 1, "heading": 0})",     // through the border wall
             R"({"x": 1.03, "y": 1.7, "heading": 0})",   // on the inner wall
             R"({"x": 1.47, "y": 0.47, "heading": 0})",  // inside the block
             R"({"x": 1.6, "y": 0.47, "heading": 0})",   // against the block
             R"({"x": 0.6, "y": 0.6, "heading": 1e308})",
             R"({"x": 0.6, "y": 0.6, "heading": -4000})",
         }) {
        const panel::Reply reply = panel::request(port, "POST", "/pose", pose);
        EXPECT_GE(reply.status, 400) << pose;
        EXPECT_LT(reply.status, 500) << pose;
        EXPECT_EQ(reply.body.find('\n'), reply.body.size() - 1) << pose << ": " << reply.body;
    }
    EXPECT_EQ(panel::request(port, "POST", "/pose", R"({"x": 0.6, "y": 1.0, "heading": -90})").status, 204);
    const json moved = stateWhen(port, [](const json &s) {
        return std::hypot(s["robot"]["x"].get<double>() - 0.6, s["robot"]["y"].get<double>() - 1.0) < 0.05;
    });
    EXPECT_TRUE(moved["robot"]["heading"].is_number());

    // The run ends at once at full speed; the summary has the pose in numbers.
    EXPECT_EQ(panel::request(port, "POST", "/speed", R"({"factor": "max"})").status, 204);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_NE(run.err().find("robot: x "), std::string::npos) << run.err();
    EXPECT_EQ(run.err().find("nan"), std::string::npos) << run.err();
}

// The page gets the pieces' shapes once and their places with every state
// and every moment kept, so that it draws them where they are; the robot
// cannot be put on one where it is now.
TEST_F(SimPanel, PiecesAreShownWhereTheyAreAndTheRobotCannotBePutOnOne)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--panel-linger", "5", "--duration", "40", "--world",
                                          KESTRIX_TABLE_WORLD, KESTRIX_PUSH_TWO}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json world = json::parse(panel::request(port, "GET", "/world").body, nullptr, false);
    ASSERT_EQ(world["pieces"].size(), 8u) << world.dump();
    EXPECT_EQ(world["pieces"][0], json({{"name", "red 1"}, {"colour", "#d03030"}, {"shape", "disc"}, {"radius", 0.03}}));
    EXPECT_EQ(world["pieces"][6]["shape"], "box");
    const json start = stateWhen(port, [](const json &s) { return s.contains("pieces"); });
    ASSERT_EQ(start["pieces"].size(), 8u) << start.dump();
    EXPECT_NEAR(start["pieces"][6][0].get<double>(), 1.0, 1e-3);

    // On the disc red 1 and beside the box green 3 (1.0, 0.25), closer than
    // the robot's radius: refused, naming the piece.
    for (const auto &[pose, piece] : {std::pair{R"({"x": 0.8, "y": 0.62, "heading": 0})", "red 1"},
                                      std::pair{R"({"x": 1.0, "y": 0.33, "heading": 0})", "green 3"}}) {
        const panel::Reply reply = panel::request(port, "POST", "/pose", pose);
        EXPECT_EQ(reply.status, 422) << pose;
        EXPECT_NE(reply.body.find(std::string("would be on piece \"") + piece + "\""), std::string::npos) << reply.body;
    }

    // To the end at full speed: the pushed pieces are elsewhere now, and the
    // start of the run still has them where they were.
    EXPECT_EQ(panel::request(port, "POST", "/speed", R"({"factor": "max"})").status, 204);
    const json ended = stateWhen(port, [](const json &s) { return s.contains("ended"); });
    double moved = 0;
    for (std::size_t n = 0; n < 8; ++n)
        moved = std::max(moved, std::hypot(ended["pieces"][n][0].get<double>() - start["pieces"][n][0].get<double>(),
                                           ended["pieces"][n][1].get<double>() - start["pieces"][n][1].get<double>()));
    EXPECT_GT(moved, 0.2) << ended["pieces"].dump();
    const json first = json::parse(panel::request(port, "GET", "/at/0").body, nullptr, false);
    ASSERT_TRUE(first.contains("pieces")) << first.dump();
    EXPECT_EQ(first["pieces"], start["pieces"]);
    // The timeline marks when a piece came into a zone: none at the start,
    // where some stand in one already.
    const json events = json::parse(panel::request(port, "GET", "/events/list").body, nullptr, false);
    int intoCentre = 0;
    for (const json &event : events) {
        const std::string what = event["event"];
        if (what.find(" into ") != std::string::npos) {
            EXPECT_GT(event["time"].get<double>(), 0.5) << what;
        }
        intoCentre += what == "red 1 into centre" || what == "red 2 into centre";
    }
    EXPECT_GE(intoCentre, 1) << events.dump();
    EXPECT_EQ(run.wait(8000), 0);
}

// The claw and the arm as signals over time: claw_carry grips a piece,
// lifts it, and lets it go again; a mechanism the world does not give the
// robot has no values.
TEST_F(SimPanel, TheMechanismsAreSignalsOverTime)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--panel-linger", "2", "--speed", "max", "--seed", "1",
                                          "--world", KESTRIX_TABLE_WORLD, KESTRIX_CLAW_CARRY}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    stateWhen(port, [](const json &s) { return s.contains("ended"); });
    const json history =
        json::parse(panel::request(port, "GET", "/history/claw.piece,claw.gap,arm.height,paddle.angle/0").body,
                    nullptr, false);
    ASSERT_TRUE(history.is_object()) << history.dump();
    const json &held = history["claw.piece"], &gap = history["claw.gap"], &lift = history["arm.height"];
    ASSERT_GT(held.size(), 100u);
    double highest = 0, widest = 0, narrowest = 1;
    bool gripped = false;
    for (std::size_t n = 0; n < held.size(); ++n) {
        gripped = gripped || held[n].get<int>() >= 0;
        highest = std::max(highest, lift[n].get<double>());
        widest = std::max(widest, gap[n].get<double>());
        narrowest = std::min(narrowest, gap[n].get<double>());
        ASSERT_TRUE(history["paddle.angle"][n].is_null());
    }
    EXPECT_TRUE(gripped);
    EXPECT_EQ(held.back().get<int>(), -1) << "let go at the end";
    EXPECT_GT(highest, 0.01);
    EXPECT_GT(widest - narrowest, 0.02);
    EXPECT_EQ(run.wait(5000), 0);
}

// The labels the program gives its buttons and whether each is down, as the
// controller sees it: what does not fit or is not UTF-8 is cut or marked.
TEST_F(SimPanel, ButtonsShowTheProgramsLabelsAndWhetherTheyAreDown)
{
    // The program ends as soon as A is up again; the panel stays for the
    // history's events.
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--panel-linger", "2", "--duration", "30", KESTRIX_BUTTON_LABELS},
                   m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json labelled = stateWhen(port, [](const json &s) { return s["buttons"][2]["text"] != ""; });
    const json &buttons = labelled["buttons"];
    ASSERT_EQ(buttons.size(), 7u);
    EXPECT_EQ(buttons[0]["text"], "D\xc3\xa9part");
    EXPECT_EQ(buttons[1]["text"], "a label far too long fo");
    EXPECT_EQ(buttons[2]["text"], "Caf?");
    EXPECT_EQ(buttons[3]["text"], "");
    EXPECT_EQ(buttons[6]["name"], "side");
    EXPECT_FALSE(buttons[0]["pressed"]);
    EXPECT_EQ(panel::request(port, "POST", "/button/a/press").status, 204);
    stateWhen(port, [](const json &s) { return s["buttons"][0]["pressed"] == true; });
    // Held past a sample of the history (every 20 ms simulated) for its event.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(panel::request(port, "POST", "/button/a/release").status, 204);
    json events;
    for (int i = 0; i < 200 && (!events.is_array() || events.empty()); ++i) { // the history is taken in every 40 ms
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        events = json::parse(panel::request(port, "GET", "/events/list").body, nullptr, false);
    }
    ASSERT_TRUE(events.is_array()) << events.dump();
    ASSERT_EQ(events.size(), 1u) << events.dump();
    EXPECT_EQ(events[0]["event"], "press a");
    EXPECT_EQ(run.wait(8000), 0) << "the program saw A go down and up";
}

// 100 connections that stall and 200 pages on the event stream: /state still
// answers at once, every stream gets its events, and the stalled connections
// are closed.
TEST_F(SimPanel, StalledConnectionsAndManyStreamsDoNotHoldUpTheState)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", checkout("side_button_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    panel::Crowd crowd(port, 50, 50, 200);
    EXPECT_EQ(crowd.refused(), 0);

    std::vector<double> latencies;
    for (int i = 0; i < 40; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const panel::Reply reply = panel::request(port, "GET", "/state", "", "", "", 2000);
        latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        ASSERT_EQ(reply.status, 200) << "request " << i << " after " << latencies.back() << " ms";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("GET /state with the crowd: median %.1f ms, worst %.1f ms of %zu\n", latencies[latencies.size() / 2],
                latencies.back(), latencies.size());
    EXPECT_LT(latencies[latencies.size() / 2], 100);
    EXPECT_LT(latencies.back(), 1000);
    // Every stream has its share of the 25 states a second.
    for (int i = 0; i < 50 && crowd.streamsWith(20) < 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(crowd.streamsWith(20), 200);

    // One address cannot take every connection: past its share the server
    // closes them at once.
    std::vector<int> greedy;
    for (int i = 0; i < 80; ++i)
        greedy.push_back(panel::connectTo(port, "127.0.0.9", 300));
    int closed = 0;
    for (int fd : greedy) {
        char byte;
        closed += fd < 0 || ::recv(fd, &byte, 1, 0) == 0 || errno == ECONNRESET;
        if (fd >= 0)
            ::close(fd);
    }
    EXPECT_GE(closed, 10);
    EXPECT_LE(closed, 70);

    // The silent ones are closed after a few seconds.
    for (int i = 0; i < 100 && crowd.silentClosed() < 50; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(crowd.silentClosed(), 50);
    EXPECT_TRUE(panel::state(port).is_object());
}

// However the run ends, a page on the event stream gets the end, and the
// launcher exits at once, with readers still attached and one that reads
// nothing.
TEST_F(SimPanel, TheEndReachesThePageAndTheLauncherExitsAtOnce)
{
    struct Ending
    {
        std::vector<std::string> arguments;
        std::vector<std::pair<const char *, const char *>> posts; // path, body
        const char *summary;
    } endings[] = {
        {{"--panel=0", checkout("side_button_check")},
         {{"/button/side/press", ""}, {"/button/side/release", ""}},
         "exited with status 0"},
        {{"--panel=0", "--duration", "30", checkout("side_button_check")},
         {{"/speed", R"({"factor": "max"})"}},
         "ended at --duration"},
    };
    for (const Ending &ending : endings) {
        panel::Run run(KESTRIX_SIM_LAUNCHER, ending.arguments, m_out);
        const int port = run.port();
        ASSERT_GT(port, 0) << run.err();
        panel::Events reader(port, true), idle(port, true);
        ASSERT_TRUE(reader.next().is_object());
        const auto posted = std::chrono::steady_clock::now();
        for (const auto &[path, body] : ending.posts)
            EXPECT_EQ(panel::request(port, "POST", path, body).status, 204) << path;
        const json last = lastEvent(reader);
        EXPECT_GE(run.wait(), 0);
        const double exitMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - posted).count();
        EXPECT_LT(exitMs, 1000) << ending.summary;
        ASSERT_TRUE(last.contains("ended")) << ending.summary << ": " << last.dump();
        EXPECT_NE(last["ended"]["summary"].get<std::string>().find(ending.summary), std::string::npos)
            << last["ended"]["summary"];
    }
}

// The camera view: the picture the program last took, and for each channel
// the blobs the program gets from it (here, as camera_rate_check prints
// them, the red block's centre in the arena).
TEST_F(SimPanel, TheCameraViewShowsThePictureAndTheBlobsTheProgramGets)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--panel-linger", "5", "--world", KESTRIX_ARENA_WORLD,
                                          checkout("camera_rate_check")}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json ended = stateWhen(port, [](const json &s) { return s.contains("ended"); });
    ASSERT_TRUE(ended.contains("camera")) << ended.dump();
    const json &camera = ended["camera"];
    EXPECT_EQ(camera["width"], 160);
    EXPECT_EQ(camera["height"], 120);
    EXPECT_GE(camera["taken"].get<int>(), 60);
    ASSERT_EQ(camera["channels"].size(), 3u);
    EXPECT_EQ(camera["channels"][0]["name"], "red");
    ASSERT_FALSE(camera["channels"][0]["objects"].empty()) << camera.dump();
    const json red = camera["channels"][0]["objects"][0];
    // The program's last line: "... objs: 1  (X,Y)".
    const std::string out = slurp(m_out);
    const std::size_t last = out.rfind('(');
    ASSERT_NE(last, std::string::npos) << out;
    int x = -1, y = -1;
    ASSERT_EQ(std::sscanf(out.c_str() + last, "(%d,%d)", &x, &y), 2) << out;
    EXPECT_EQ(red["x"], x);
    EXPECT_EQ(red["y"], y);
    EXPECT_LE(red["left"].get<int>(), x);
    EXPECT_GE(red["right"].get<int>(), x);

    // The picture itself: red at the blob's centre, not at the top corner.
    const panel::Reply picture = panel::request(port, "GET", "/camera");
    ASSERT_EQ(picture.status, 200);
    ASSERT_EQ(picture.body.size(), 160u * 120 * 4);
    const auto pixel = [&](int px, int py) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(picture.body.data()) + (py * 160 + px) * 4;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    const auto centre = pixel(x, y), corner = pixel(0, 0);
    EXPECT_GT(centre[0], centre[1] + 60) << centre[0] << " " << centre[1];
    EXPECT_FALSE(corner[0] > corner[1] + 60);
    EXPECT_EQ(panel::request(port, "GET", "/camera/at/0.5").status, 200);
}

// At full speed the launcher keeps the run from its start: a sample every
// 20 ms of simulated time, none lost, so the path has no chords; the run as
// it was at a moment agrees with the samples; after the end the panel stays
// for --panel-linger, then the launcher ends.
TEST_F(SimPanel, TheWholeRunIsKeptAndCanBeReadBackAfterTheEnd)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--panel-linger", "2", "--speed", "max", "--duration", "120",
                                          "--world", KESTRIX_LINE_WORLD, KESTRIX_LINE_FOLLOWER}, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json ended = stateWhen(port, [](const json &s) { return s.contains("ended"); });
    const auto endedAt = std::chrono::steady_clock::now();
    EXPECT_EQ(ended["history"]["dropped"], 0);
    const json path = json::parse(panel::request(port, "GET", "/history/x,y,heading,motor0.speed/0").body, nullptr, false);
    ASSERT_TRUE(path.is_object());
    const json &time = path["time"], &x = path["x"], &y = path["y"];
    ASSERT_GE(time.size(), 6000u);
    EXPECT_LE(time.size(), 6002u);
    EXPECT_EQ(path["motor0.speed"].size(), time.size());
    double longest = 0, travelled = 0;
    for (std::size_t n = 1; n < time.size(); ++n) {
        EXPECT_NEAR(time[n].get<double>() - time[n - 1].get<double>(), 0.02, 1e-6) << n;
        const double step = std::hypot(x[n].get<double>() - x[n - 1].get<double>(),
                                       y[n].get<double>() - y[n - 1].get<double>());
        longest = std::max(longest, step);
        travelled += step;
    }
    EXPECT_LT(longest, 0.01);  // m in 20 ms: no chord across the line
    EXPECT_GT(travelled, 5.0); // two minutes along the line

    // Later samples from a count on; the run at a moment is its sample.
    const json tail = json::parse(panel::request(port, "GET", "/history/x/6000").body, nullptr, false);
    EXPECT_EQ(tail["from"], 6000);
    EXPECT_EQ(tail["x"].size(), time.size() - 6000);
    const json at = json::parse(panel::request(port, "GET", "/at/10.005").body, nullptr, false);
    ASSERT_TRUE(at.contains("robot")) << at.dump();
    const std::size_t n = at["sample"].get<std::size_t>();
    EXPECT_NEAR(time[n].get<double>(), 10.0, 1e-6);
    EXPECT_NEAR(at["robot"]["x"].get<double>(), x[n].get<double>(), 1e-4);
    EXPECT_NEAR(at["robot"]["y"].get<double>(), y[n].get<double>(), 1e-4);
    // The inertial sensors as the program reads them: gravity up, a turn rate
    // while the follower steers along the curves, and the compass turning.
    const json inertial = json::parse(panel::request(port, "GET", "/history/accel.z,gyro.z,compass.x/0").body,
                                      nullptr, false);
    ASSERT_EQ(inertial["accel.z"].size(), time.size());
    std::vector<double> up, turn, compass;
    for (std::size_t n = 0; n < time.size(); ++n) {
        up.push_back(inertial["accel.z"][n].get<double>());
        turn.push_back(std::fabs(inertial["gyro.z"][n].get<double>()));
        compass.push_back(inertial["compass.x"][n].get<double>());
    }
    std::sort(up.begin(), up.end());
    EXPECT_NEAR(up[up.size() / 2], 1000, 50);
    EXPECT_GT(*std::max_element(turn.begin(), turn.end()), 16 * 20.0); // over 20 deg/s
    EXPECT_GT(*std::max_element(compass.begin(), compass.end()) - *std::min_element(compass.begin(), compass.end()), 300);
    EXPECT_EQ(panel::request(port, "GET", "/history/nothing/0").status, 404);
    EXPECT_EQ(panel::request(port, "GET", "/at/soon").status, 404);

    // Up for the two seconds asked, then gone.
    EXPECT_EQ(run.wait(5000), 0);
    const double lingered = std::chrono::duration<double>(std::chrono::steady_clock::now() - endedAt).count();
    EXPECT_GT(lingered, 1.5);
}

// A run recorded without a panel and replayed: the replay answers as the
// run's own panel did at its end (the same history, picture, console and
// summary), drives nothing, and a file that is not a whole record of this
// simulator is refused with one line.
TEST_F(SimPanel, ARecordedRunIsShownAgainAsItWasWithoutItsProgram)
{
    const std::string record = m_out + ".kxr";
    const std::vector<std::string> arguments = {"--speed", "max", "--world", KESTRIX_ARENA_WORLD,
                                                checkout("camera_rate_check")};
    std::vector<std::string> live = {"--panel=0", "--panel-linger", "3", "--record", record};
    live.insert(live.end(), arguments.begin(), arguments.end());
    panel::Run run(KESTRIX_SIM_LAUNCHER, live, m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const json ended = stateWhen(port, [](const json &s) { return s.contains("ended"); }, 20);
    const std::vector<std::string> asked = {"/history/x,y,heading,analog1,motor0.speed/0", "/camera",
                                            "/camera/at/0.5", "/screen/at/1", "/at/0.7", "/world"};
    std::vector<std::string> answers;
    for (const std::string &path : asked)
        answers.push_back(panel::request(port, "GET", path).body);
    EXPECT_EQ(run.wait(10000), 0) << run.err();
    std::remove(m_out.c_str());
    ASSERT_FALSE(ended["console"]["text"].get<std::string>().empty());

    panel::Run replay(KESTRIX_SIM_LAUNCHER, {"--replay", record, "--panel=0", "--panel-linger", "2"}, m_out);
    const int again = replay.port();
    ASSERT_GT(again, 0) << replay.err();
    const json shown = panel::state(again);
    EXPECT_EQ(shown["running"], false);
    EXPECT_EQ(shown["ended"], ended["ended"]);
    EXPECT_EQ(shown["time"], ended["time"]);
    EXPECT_EQ(shown["console"], ended["console"]);
    EXPECT_EQ(shown["robot"], ended["robot"]);
    EXPECT_EQ(shown["camera"], ended["camera"]);
    EXPECT_EQ(shown["history"]["samples"], ended["history"]["samples"]);
    for (std::size_t n = 0; n < asked.size(); ++n) {
        const panel::Reply reply = panel::request(again, "GET", asked[n]);
        EXPECT_EQ(reply.status, 200) << asked[n];
        EXPECT_TRUE(reply.body == answers[n]) << asked[n] << " differs";
    }
    EXPECT_EQ(panel::post(again, "/button/a/press").status, 409);
    EXPECT_EQ(replay.wait(6000), 0) << replay.err();

    // Not a record, a record cut short, a record of another layout.
    const std::string bad = m_out + ".bad";
    const std::string whole = slurp(record);
    std::string other = whole;
    const std::string layout = "\"sample_bytes\":";
    const std::size_t field = other.find(layout);
    ASSERT_NE(field, std::string::npos);
    other.insert(field + layout.size(), "1");
    // A block as long as can be: the sizes summed would wrap to the file's length.
    std::string wrapped = whole;
    const std::string sizes = "\"blocks\":[";
    ASSERT_NE(wrapped.find(sizes), std::string::npos);
    wrapped.insert(wrapped.find(sizes) + sizes.size(), "18446744073709551615,1,");
    const std::vector<std::pair<std::string, std::string>> files = {
        {wrapped, ": a damaged record (it is cut short)\n"},
        {"{\"format\": 1}", ": not a run recorded by kestrix-sim --record\n"},
        {whole.substr(0, whole.size() / 2), ": a damaged record (it is cut short)\n"},
        {other, ": recorded by another version of kestrix-sim, which this one cannot read\n"}};
    for (const auto &file : files) {
        std::ofstream(bad, std::ios::binary) << file.first;
        panel::Run refused(KESTRIX_SIM_LAUNCHER, {"--replay", bad, "--panel=0"}, m_out);
        EXPECT_EQ(refused.wait(5000), 2);
        EXPECT_EQ(refused.err(), "kestrix-sim: " + bad + file.second);
    }
    panel::Run withProgram(KESTRIX_SIM_LAUNCHER, {"--replay", record, checkout("camera_rate_check")}, m_out);
    EXPECT_EQ(withProgram.wait(5000), 2);
    EXPECT_NE(withProgram.err().find("--replay shows a recorded run: it takes no program"), std::string::npos)
        << withProgram.err();
    std::remove(bad.c_str());
    std::remove(record.c_str());
}

} // namespace
// A match's panel: each robot's controller at ?robot=N with its own program,
// console and pose, both robots on the field in every robot's state, and a
// button pressed for the second robot reaching its program alone.
TEST_F(SimPanel, AMatchShowsEachRobotsControllerAndBothRobotsOnTheField)
{
    panel::Run run(KESTRIX_SIM_LAUNCHER, {"--panel=0", "--world", KESTRIX_TABLE_WORLD, "--robot",
                                          checkout("side_button_check"), "--robot", checkout("side_button_check")},
                   m_out);
    const int port = run.port();
    ASSERT_GT(port, 0) << run.err();
    const std::string waiting = "Waiting for 'side' button to be pressed...\n";
    const auto posed = [&](const json &s) {
        return s["console"]["text"] == waiting && s.contains("robot") && s["robots"].size() == 2
               && !s["robots"][0].is_null() && !s["robots"][1].is_null();
    };
    const json first = stateWhen(port, posed, 10, "/state?robot=0");
    const json second = stateWhen(port, posed, 10, "/state?robot=1");
    // table.json starts them at opposite ends: x 0.15 and 2.25.
    EXPECT_NEAR(first["robot"]["x"].get<double>(), 0.15, 0.02);
    EXPECT_NEAR(second["robot"]["x"].get<double>(), 2.25, 0.02);
    for (const json &s : {first, second})
        for (int r = 0; r < 2; ++r)
            EXPECT_NEAR(s["robots"][r]["x"].get<double>(), (r ? second : first)["robot"]["x"].get<double>(), 0.02)
                << "robot " << r << " in " << s.dump();
    EXPECT_EQ(panel::state(port)["robot"], panel::state(port, "/state?robot=0")["robot"]) << "robot 0 by default";
    const json world = json::parse(panel::request(port, "GET", "/world").body, nullptr, false);
    EXPECT_EQ(world["robot"]["colours"], json::array({"#285ad2", "#e67800"}));
    EXPECT_EQ(panel::request(port, "GET", "/screen?robot=1").body.size(), 320u * 240u * 4u);
    for (const char *bad : {"/state?robot=2", "/state?robot=one", "/screen?robot="}) {
        const panel::Reply reply = panel::request(port, "GET", bad);
        EXPECT_EQ(reply.status, 404) << bad;
        EXPECT_EQ(reply.body, "no robot '" + std::string(std::strchr(bad, '=') + 1) + "' (0-1)\n") << bad;
    }
    EXPECT_EQ(panel::request(port, "POST", "/button/side/press?robot=2").status, 404);
    // The second robot put beside the first, not on it.
    const panel::Reply onIt = panel::request(port, "POST", "/pose?robot=1", R"({"x": 0.25, "y": 0.6, "heading": 0})");
    EXPECT_EQ(onIt.status, 422);
    EXPECT_EQ(onIt.body, "the robot at (0.25, 0.6) would be on robot 1\n");
    EXPECT_EQ(panel::request(port, "POST", "/pose?robot=1", R"({"x": 1.2, "y": 0.3, "heading": 90})").status, 204);
    stateWhen(port, [](const json &s) { return std::fabs(s["robots"][1]["x"].get<double>() - 1.2) < 0.01; });

    // The match has one clock: paused for one robot, both stand.
    EXPECT_EQ(panel::post(port, "/pause?robot=1").status, 204);
    for (const char *path : {"/state?robot=0", "/state?robot=1"})
        stateWhen(port, [](const json &s) { return s["paused"] == true; }, 5, path);
    EXPECT_EQ(panel::post(port, "/resume").status, 204);
    for (const char *path : {"/state?robot=0", "/state?robot=1"})
        stateWhen(port, [](const json &s) { return s["paused"] == false; }, 5, path);

    // The second robot's click: its program goes on, the first still waits.
    // The event stream of the second robot says so too.
    panel::Events events(port);
    EXPECT_EQ(panel::post(port, "/button/side/press?robot=1").status, 204);
    EXPECT_EQ(panel::post(port, "/button/side/release?robot=1").status, 204);
    stateWhen(port, [&](const json &s) { return s["console"]["text"] == waiting + "Bingo!... closing program.\n"; },
              10, "/state?robot=1");
    stateWhen(port, [](const json &s) { return s["running"] == false; }, 5, "/state?robot=1");
    EXPECT_EQ(panel::post(port, "/button/side/press?robot=1").status, 409) << "its program has ended";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(panel::state(port)["console"]["text"], waiting);
    EXPECT_EQ(panel::state(port)["running"], true);
    EXPECT_EQ(events.next(5000)["console"]["text"], waiting) << "/events is the first robot's";
    // Its history is its own, and the run at its start has both robots where they started.
    const json history = json::parse(panel::request(port, "GET", "/history/x/0?robot=1").body, nullptr, false);
    ASSERT_FALSE(history["x"].empty()) << history.dump();
    EXPECT_NEAR(history["x"][0].get<double>(), 2.25, 0.02);
    const json then = json::parse(panel::request(port, "GET", "/at/0").body, nullptr, false);
    ASSERT_EQ(then["robots"].size(), 2u) << then.dump();
    EXPECT_NEAR(then["robots"][1]["x"].get<double>(), 2.25, 0.02) << then.dump();
    EXPECT_NEAR(then["robots"][0]["x"].get<double>(), 0.15, 0.02) << then.dump();

    EXPECT_EQ(panel::post(port, "/button/side/press").status, 204);
    EXPECT_EQ(panel::post(port, "/button/side/release").status, 204);
    const json last = lastEvent(events);
    ASSERT_TRUE(last.contains("ended")) << last.dump();
    EXPECT_EQ(last["console"]["text"], waiting + "Bingo!... closing program.\n");
    EXPECT_EQ(run.wait(), 0);
    // Both programs' output still reaches the launcher's.
    EXPECT_EQ(slurp(m_out), waiting + waiting + "Bingo!... closing program.\n" + "Bingo!... closing program.\n");
}

#endif
