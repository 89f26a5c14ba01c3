// The drone client against a fake drone on 127.0.0.1 (the fake network sends
// the drone's own address there), and the drone C interface on top of it.
#include "fake_drone.h"

#include "private/ardrone_p.h"
#include "kestrix/ardrone.h"
#include "private/network_interface_p.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

using fakedrone::Command;
using fakedrone::Demo;
using fakedrone::FakeDrone;
using fakedrone::navdataPacket;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t Landed = 0;

bool named(const Command &command, const char *name, const std::string &arguments)
{
    return command.name == name && command.arguments == arguments;
}

class Drone : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.redirect();
        fake.answerTriggerWith(navdataPacket(Landed, Demo{}));
    }
    void TearDown() override
    {
        drone().disconnect();
        kxsim::FakeNetwork::instance().reset();
    }

    // The tests drive the library's own client, the one the C interface uses.
    ARDrone &drone() { return ARDrone::instance(); }

    bool connect(double timeout = 3.0)
    {
        return drone().connect("192.168.1.1", timeout);
    }

    // Sends `packet` until the client reports `seen`, at most 3 s.
    template <typename Seen>
    bool deliver(const std::vector<unsigned char> &packet, Seen seen)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        fake.sendNavdata(packet);
        while (Clock::now() < deadline) {
            if (seen())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    FakeDrone fake;
};

// ---------------------------------------------------------------- connecting

TEST_F(Drone, ConnectSucceedsOnceValidNavdataArrives)
{
    ASSERT_EQ(drone_connect(), 1);

    EXPECT_GE(fake.triggers(), 1);
    EXPECT_NE(drone().state(), ARDrone::Disconnected);
    ASSERT_TRUE(fake.waitFor([](const Command &c) { return c.sequence == 2; }));
    const std::vector<Command> commands = fake.commands();
    // The counter reset comes first, then the switch to demo navdata.
    EXPECT_EQ(commands.at(0).text, "AT*REF=1,290717696");
    EXPECT_EQ(commands.at(1).text, "AT*CONFIG=2,\"general:navdata_demo\",\"TRUE\"");
}

TEST_F(Drone, ConnectFailsAfterTheTimeoutWhenNothingAnswers)
{
    fake.answerTriggerWith({});
    const auto start = Clock::now();

    EXPECT_FALSE(connect(0.4));

    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, 0.39);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(drone().state(), ARDrone::Disconnected);
    // The trigger is repeated while waiting: a lost datagram is not fatal.
    EXPECT_GE(fake.triggers(), 2);
    EXPECT_EQ(get_drone_emergency_stop_enabled(), 0);
}

TEST_F(Drone, PacketsWithABadChecksumOrHeaderDoNotCount)
{
    fake.answerTriggerWith(navdataPacket(Landed, Demo{}, false));
    EXPECT_FALSE(connect(0.3));

    std::vector<unsigned char> badHeader = navdataPacket(Landed, Demo{});
    badHeader[0] ^= 1;
    fake.answerTriggerWith(badHeader);
    EXPECT_FALSE(connect(0.3));
    EXPECT_EQ(drone().state(), ARDrone::Disconnected);
}

TEST_F(Drone, NavdataWithABadChecksumIsIgnored)
{
    ASSERT_TRUE(connect());
    Demo spoiled;
    spoiled.battery = 13;
    Demo good;
    good.battery = 77;

    fake.sendNavdata(navdataPacket(Landed, spoiled, false));
    ASSERT_TRUE(deliver(navdataPacket(Landed, good), [] { return get_drone_battery() == 77; }));

    fake.sendNavdata(navdataPacket(Landed, spoiled, false));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(get_drone_battery(), 77);
}

TEST_F(Drone, StateFollowsTheDronesStateWord)
{
    ASSERT_TRUE(connect());
    EXPECT_EQ(drone().state(), ARDrone::Landed);
    EXPECT_TRUE(deliver(navdataPacket(1u, Demo{}), [this] { return drone().state() == ARDrone::Flying; }));
    EXPECT_TRUE(deliver(navdataPacket(1u << 31, Demo{}),
                        [this] { return drone().state() == ARDrone::Emergency; }));
}

// ----------------------------------------------------------------- commands

TEST_F(Drone, CommandsCarryTheirExactTextWithRisingSequenceNumbers)
{
    ASSERT_TRUE(connect());

    drone_takeoff();
    drone_land();
    drone_hover();
    drone_move(0.8f, -0.8f, 0.0f, 1.5f);
    drone_calibrate();
    ASSERT_EQ(set_drone_ssid("kestrix-7"), 1);
    ASSERT_EQ(set_drone_mac_address("01:23:45:67:89:ab"), 1);

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"REF", "290718208"},
        {"REF", "290717696"},
        {"PCMD", "0,0,0,0,0"},
        // 0.8 and -0.8 as bit patterns; 1.5 is held to the maximum, 1.0.
        {"PCMD", "1,1061997773,-1085485875,0,1065353216"},
        {"FTRIM", ""},
        {"CONFIG", "\"network:ssid_single_player\",\"kestrix-7\""},
        {"CONFIG", "\"network:owner_mac\",\"01:23:45:67:89:ab\""},
    };
    ASSERT_TRUE(fake.waitFor([&](const Command &c) { return named(c, "CONFIG", expected.back().second); }));

    // In order among the watchdog's repeats, every number one above the last.
    const std::vector<Command> commands = fake.commands();
    std::size_t next = 0;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(commands[i].sequence, static_cast<long>(i + 1)) << commands[i].text;
        if (next < expected.size() && named(commands[i], expected[next].first.c_str(), expected[next].second))
            ++next;
    }
    EXPECT_EQ(next, expected.size()) << "missing: AT*" << expected[std::min(next, expected.size() - 1)].first;
    EXPECT_NE(std::find_if(commands.begin(), commands.end(),
                           [](const Command &c) { return c.text.rfind("AT*FTRIM=", 0) == 0 && c.text.back() == ','; }),
              commands.end());
}

TEST_F(Drone, WatchdogRepeatsTheCurrentCommandWhileIdle)
{
    ASSERT_TRUE(connect());
    drone_takeoff();
    drone_move(0.25f, 0.0f, 0.0f, 0.0f);
    const std::size_t before = fake.commands().size();

    std::this_thread::sleep_for(std::chrono::milliseconds(400));

    const std::vector<Command> commands = fake.commands();
    int takeoffs = 0, moves = 0;
    for (std::size_t i = before; i < commands.size(); ++i) {
        takeoffs += named(commands[i], "REF", "290718208");
        moves += named(commands[i], "PCMD", "1,1048576000,0,0,0");
    }
    // About 13 ticks of 30 ms; a loaded machine may manage fewer.
    EXPECT_GE(takeoffs, 4);
    EXPECT_GE(moves, 4);
    EXPECT_LE(moves, 20);
}

TEST_F(Drone, DisconnectLandsAndLaterCommandsAreDropped)
{
    ASSERT_TRUE(connect());
    drone_takeoff();
    drone_disconnect();
    drone_disconnect();

    EXPECT_EQ(drone().state(), ARDrone::Disconnected);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<Command> settled = fake.commands();
    ASSERT_FALSE(settled.empty());
    EXPECT_EQ(settled.back().name, "REF");
    EXPECT_EQ(settled.back().arguments, "290717696");

    drone_takeoff();
    drone_move(0.5f, 0.5f, 0.5f, 0.5f);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fake.commands().size(), settled.size());
}

TEST_F(Drone, ReconnectingStartsTheSequenceAgain)
{
    ASSERT_TRUE(connect());
    drone_takeoff();
    drone_disconnect();
    const std::size_t first = fake.commands().size();

    ASSERT_TRUE(connect());
    ASSERT_TRUE(fake.waitFor([](const Command &c) { return c.sequence == 2 && c.name == "CONFIG"; }));
    const std::vector<Command> commands = fake.commands();
    ASSERT_GT(commands.size(), first);
    EXPECT_EQ(commands[first].text, "AT*REF=1,290717696");
}

// ------------------------------------------------------------------ navdata

TEST_F(Drone, NavdataFieldsReachEachGetterInLibraryUnits)
{
    ASSERT_TRUE(connect());
    Demo demo;
    demo.battery = 87;
    demo.pitch = 12500.0f;  // 12.5 degrees
    demo.roll = -3000.0f;   // -3 degrees
    demo.yaw = 90250.0f;    // 90.25 degrees
    demo.altitude = 1500;   // 1.5 m
    demo.vx = 250.0f;       // 0.25 m/s
    demo.vy = -500.0f;
    demo.vz = 125.0f;

    ASSERT_TRUE(deliver(navdataPacket(Landed, demo), [] { return get_drone_battery() == 87; }));

    EXPECT_FLOAT_EQ(get_drone_pitch(), 12.5f);
    EXPECT_FLOAT_EQ(get_drone_roll(), -3.0f);
    EXPECT_FLOAT_EQ(get_drone_yaw(), 90.25f);
    EXPECT_FLOAT_EQ(get_drone_altitude(), 1.5f);
    EXPECT_FLOAT_EQ(get_drone_x_velocity(), 0.25f);
    EXPECT_FLOAT_EQ(get_drone_y_velocity(), -0.5f);
    EXPECT_FLOAT_EQ(get_drone_z_velocity(), 0.125f);
}

TEST_F(Drone, PositionIntegratesTheVelocitiesUntilCleared)
{
    fake.setStreaming(false); // only the packets below move the position
    ASSERT_TRUE(connect());
    Demo moving;
    moving.battery = 1;
    moving.vx = 1000.0f; // 1 m/s
    moving.vy = -2000.0f;
    moving.vz = 500.0f;

    const auto start = Clock::now();
    ASSERT_TRUE(deliver(navdataPacket(Landed, moving), [] { return get_drone_battery() == 1; }));
    // That packet integrated the time since connect()'s packet, which began
    // before `start`: only the gap to the next packet is bounded below.
    drone_clear_position();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    moving.battery = 2;
    ASSERT_TRUE(deliver(navdataPacket(Landed, moving), [] { return get_drone_battery() == 2; }));
    const double most = std::chrono::duration<double>(Clock::now() - start).count() + 0.002;

    // The client measured between 0.1 s and `most` between the packets;
    // gaps over half a second are not integrated at all.
    const float x = get_drone_x();
    if (most <= 0.5) {
        EXPECT_GE(x, 0.099f);
        EXPECT_LE(x, most);
    } else {
        EXPECT_TRUE(x == 0.0f || (x >= 0.099f && x <= 0.5f)) << x;
    }
    EXPECT_FLOAT_EQ(get_drone_y(), -2.0f * x);
    EXPECT_FLOAT_EQ(get_drone_z(), 0.5f * x);

    drone_clear_position();
    EXPECT_EQ(get_drone_x(), 0.0f);
    EXPECT_EQ(get_drone_y(), 0.0f);
    EXPECT_EQ(get_drone_z(), 0.0f);

    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    moving.battery = 3;
    ASSERT_TRUE(deliver(navdataPacket(Landed, moving), [] { return get_drone_battery() == 3; }));
    EXPECT_GE(get_drone_x(), 0.0f);
    EXPECT_LT(get_drone_x(), x + 0.5f);
}

// -------------------------------------------------------- a drone gone wrong

TEST_F(Drone, SilentDroneReadsDisconnectedUntilNavdataReturns)
{
    ASSERT_EQ(drone_connect(), 1);
    fake.setStreaming(false);
    fake.answerTriggerWith({});
    const auto silent = Clock::now();

    while (drone().state() != ARDrone::Disconnected && Clock::now() - silent < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const double took = std::chrono::duration<double>(Clock::now() - silent).count();
    EXPECT_EQ(drone().state(), ARDrone::Disconnected);
    // The last packet came at most one stream period before `silent`.
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(set_drone_ssid("kestrix"), 0);

    // The client keeps asking: a drone that answers again is back.
    fake.answerTriggerWith(navdataPacket(1u, Demo{}));
    const auto back = Clock::now();
    while (drone().state() != ARDrone::Flying && Clock::now() - back < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(drone().state(), ARDrone::Flying);
    EXPECT_EQ(set_drone_ssid("kestrix"), 1);
}

TEST_F(Drone, StaleOrNonFiniteNavdataIsIgnoredAndTheBatteryIsClamped)
{
    fake.setStreaming(false);
    ASSERT_TRUE(connect());
    Demo demo;
    demo.battery = 50;
    ASSERT_TRUE(deliver(navdataPacket(Landed, demo), [] { return get_drone_battery() == 50; }));
    const std::uint32_t last = fake.sequence();

    // A packet the client must ignore, then a good one that changes only
    // the state word: once that state shows, the first one was dealt with.
    std::uint32_t fence = 1u;
    auto ignored = [&](const char *what, const std::function<void()> &send) {
        send();
        fence = fence == 1u ? 1u << 31 : 1u;
        const ARDrone::State expected = fence == 1u ? ARDrone::Flying : ARDrone::Emergency;
        ASSERT_TRUE(deliver(navdataPacket(fence, std::nullopt), [&] { return drone().state() == expected; }))
            << what;
        EXPECT_EQ(get_drone_battery(), 50) << what;
        EXPECT_TRUE(std::isfinite(get_drone_pitch()) && std::isfinite(get_drone_z_velocity())) << what;
    };
    Demo spoiled = demo;
    spoiled.battery = 13;
    ignored("the same number again", [&] { fake.sendNavdataAsIs(navdataPacket(Landed, spoiled, true, last)); });
    ignored("an older number", [&] { fake.sendNavdataAsIs(navdataPacket(Landed, spoiled, true, last - 1)); });
    for (float poison : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()}) {
        Demo pitch = spoiled, vz = spoiled;
        pitch.pitch = poison;
        vz.vz = poison;
        ignored("a pitch that is not finite", [&] { fake.sendNavdata(navdataPacket(Landed, pitch)); });
        ignored("a velocity that is not finite", [&] { fake.sendNavdata(navdataPacket(Landed, vz)); });
    }

    demo.battery = 250;
    EXPECT_TRUE(deliver(navdataPacket(Landed, demo), [] { return get_drone_battery() == 100; }));
    demo.battery = 0xFFFFFFF0u;
    EXPECT_TRUE(deliver(navdataPacket(Landed, demo), [] { return get_drone_battery() == 0; }));
}

TEST_F(Drone, CommandAcknowledgeIsAnsweredOncePerAppearance)
{
    fake.setStreaming(false);
    ASSERT_TRUE(connect());
    const std::uint32_t ack = 1u << 6;
    // The bit stays up over three packets, drops, and comes back once.
    const std::uint32_t states[] = {ack, ack, ack, 0, ack};
    Demo demo;
    for (std::uint32_t state : states) {
        ++demo.battery;
        const int battery = static_cast<int>(demo.battery);
        ASSERT_TRUE(deliver(navdataPacket(state, demo), [battery] { return get_drone_battery() == battery; }));
    }
    auto acknowledgements = [this] {
        std::vector<Command> found;
        for (const Command &command : fake.commands())
            if (command.name == "CTRL")
                found.push_back(command);
        return found;
    };
    ASSERT_TRUE(fake.waitFor([&](const Command &) { return acknowledgements().size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const std::vector<Command> found = acknowledgements();
    ASSERT_EQ(found.size(), 2u);
    for (const Command &command : found)
        EXPECT_EQ(command.arguments, "5,0") << command.text;
}

TEST_F(Drone, DisconnectRepeatsTheLandCommandForHalfASecond)
{
    ASSERT_TRUE(connect());
    drone_takeoff();
    ASSERT_TRUE(fake.waitFor([](const Command &c) { return named(c, "REF", "290718208"); }));
    const auto start = Clock::now();

    drone_disconnect();

    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int lands = 0;
    Clock::time_point first{}, last{};
    for (const Command &command : fake.commands()) {
        if (command.at < start)
            continue;
        // Nothing but landing once the disconnect began.
        EXPECT_TRUE(named(command, "REF", "290717696")) << command.text;
        first = lands++ == 0 ? command.at : first;
        last = command.at;
    }
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 1.5);
    EXPECT_GE(lands, 8); // about 17 at 30 ms
    EXPECT_GE(std::chrono::duration<double>(last - first).count(), 0.45);
}

// ------------------------------------------------------------------ version

struct VersionCase
{
    const char *text;
    int expected;
};

// Keeps the test names the same from run to run.
void PrintTo(const VersionCase &c, std::ostream *out)
{
    const std::string text(c.text);
    *out << (text.empty() ? "none" : text.substr(0, text.find('\n')));
}

class DroneVersion : public Drone, public ::testing::WithParamInterface<VersionCase>
{
};

TEST_P(DroneVersion, ComesFromVersionTxtOverFtp)
{
    fake.setVersionText(GetParam().text);
    ASSERT_TRUE(connect());
    EXPECT_EQ(get_drone_version(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Drone, DroneVersion,
                         // How the text reads is tested on strings (test_drone_protocol).
                         ::testing::Values(VersionCase{"2.4.8\n", 2}, VersionCase{"1.11.5\n", 1},
                                           VersionCase{"3.0.0\n", -1},
                                           VersionCase{"", -1})); // no version.txt at all

// A server that never finishes its reply: continuation lines without end,
// or one byte at a time, each well within any per-read time-out.
struct TrickleCase
{
    const char *name;
    const char *chunk;
    int periodMs;
};

void PrintTo(const TrickleCase &c, std::ostream *out)
{
    *out << c.name;
}

class DroneVersionTrickle : public Drone, public ::testing::WithParamInterface<TrickleCase>
{
};

TEST_P(DroneVersionTrickle, GivesUpAtTheOverallDeadline)
{
    const TrickleCase trickle = GetParam();
    fake.setFtpSession([trickle](int fd) {
        const auto end = Clock::now() + std::chrono::seconds(8);
        while (Clock::now() < end &&
               ::send(fd, trickle.chunk, std::strlen(trickle.chunk), MSG_NOSIGNAL) > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(trickle.periodMs));
    });
    ASSERT_TRUE(connect());
    const auto start = Clock::now();

    EXPECT_EQ(get_drone_version(), -1);

    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 4.0);
}

INSTANTIATE_TEST_SUITE_P(Drone, DroneVersionTrickle,
                         ::testing::Values(TrickleCase{"ContinuationLines", "220-still here\r\n", 100},
                                           TrickleCase{"OneByteAtATime", "2", 1500}));

TEST_F(Drone, VersionRepliesBeyondTheLineBoundsAreRefused)
{
    fake.setVersionText("2.4.8\n");
    ASSERT_TRUE(connect());
    ASSERT_EQ(get_drone_version(), 2);

    std::string manyLines;
    for (int i = 0; i < 1000; ++i)
        manyLines += "220-welcome\r\n";
    fake.setFtpBanner(manyLines);
    EXPECT_EQ(get_drone_version(), -1);

    fake.setFtpBanner("220-" + std::string(1000, 'x') + "\r\n");
    EXPECT_EQ(get_drone_version(), -1);
}

TEST_F(Drone, VersionIsUnknownWhileDisconnected)
{
    fake.setVersionText("2.4.8\n");
    EXPECT_EQ(get_drone_version(), -1);
}

// ------------------------------------------------------------------ settings

TEST_F(Drone, SettingsAreRefusedSilentlyWhileDisconnected)
{
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_drone_ssid("kestrix"), 0);
    EXPECT_EQ(set_drone_ssid(""), 0);
    EXPECT_EQ(set_drone_mac_address("01:23:45:67:89:ab"), 0);
    EXPECT_EQ(drone_pair(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // Nothing was kept for later either.
    ASSERT_TRUE(connect());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const Command &command : fake.commands())
        EXPECT_TRUE(command.name != "CONFIG" || command.arguments.find("network:") == std::string::npos)
            << command.text;
}

TEST_F(Drone, EmptyOrNullSsidIsRefusedWithOneLineOnStderr)
{
    ASSERT_TRUE(connect());

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_drone_ssid(""), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "SSID must be at least one character long!\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(set_drone_ssid(nullptr), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "SSID must be at least one character long!\n");
    EXPECT_EQ(set_drone_mac_address(nullptr), 0);

    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const Command &command : fake.commands())
        EXPECT_EQ(command.arguments.find("network:"), std::string::npos) << command.text;
}

TEST_F(Drone, SettingsThatWouldBreakTheCommandAreNotSent)
{
    ASSERT_TRUE(connect());
    drone().setSsid("a\",\"b");
    drone().setSsid("line\rbreak");
    drone().setSsid("a-name-that-is-longer-than-32-chars");
    drone().setOwnerAddress("01:23:45:67:89");
    drone().setOwnerAddress("01:23:45:67:89:zz");
    drone().setSsid("ok");

    ASSERT_TRUE(fake.waitFor([](const Command &c) { return c.arguments.find("\"ok\"") != std::string::npos; }));
    int settings = 0;
    for (const Command &command : fake.commands())
        settings += command.arguments.find("network:") != std::string::npos;
    EXPECT_EQ(settings, 1);
}

TEST_F(Drone, PairingSendsThisControllersHardwareAddress)
{
    ASSERT_TRUE(connect());
    char *own = Private::NetworkInterface::macAddress(nullptr);

    EXPECT_EQ(drone_pair(), 1);

    if (own == nullptr) {
        // A machine without a hardware address has nothing to pair with.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const Command &command : fake.commands())
            EXPECT_EQ(command.arguments.find("owner_mac"), std::string::npos) << command.text;
        return;
    }
    const std::string expected = std::string("\"network:owner_mac\",\"") + own + "\"";
    delete[] own;
    EXPECT_TRUE(fake.waitFor([&](const Command &c) { return named(c, "CONFIG", expected); }));
}

TEST_F(Drone, EmergencyStopSettingPassesThroughAsATruthValue)
{
    set_drone_emergency_stop_enabled(7);
    EXPECT_TRUE(drone().isEmergencyStopEnabled());
    EXPECT_EQ(get_drone_emergency_stop_enabled(), 1);
    set_drone_emergency_stop_enabled(0);
    EXPECT_FALSE(drone().isEmergencyStopEnabled());
    EXPECT_EQ(get_drone_emergency_stop_enabled(), 0);
}

} // namespace
