// The emergency-stop watcher on the side button, alone and as the drone
// client's own. The paths that end the process run in a child process, whose
// drone client talks to a fake drone in this one: a disconnect shows as the
// land commands the fake receives.
#include "fake_drone.h"

#include "private/ardrone_p.h"
#include "private/ardrone_emergency_stop_p.h"
#include "private/buttons_p.h"
#include "fakes/fake_input.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

using Private::ARDroneEmergencyStop;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct ChildResult
{
    int status = -1;
    double seconds = 0;
    std::string events; // what the child reported through its event pipe
    std::string out;    // what reached its standard output
};

// Runs `body` in a child whose standard output is a pipe (so stdio buffers
// it fully) and that can report events by writing to the given descriptor.
// A child that survives its body exits with 3; one still alive after 10 s
// is killed (a hang fails the test instead of stalling it). The parent runs
// `afterFork` once the child exists: threads started before fork() could
// hold locks (the allocator's among them) that the child would inherit held.
ChildResult runChild(const std::function<void(int events)> &body,
                     const std::function<void()> &afterFork = {})
{
    int events[2], out[2];
    if (::pipe(events) != 0 || ::pipe(out) != 0)
        ADD_FAILURE() << "pipe";
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(events[0]);
        ::close(out[0]);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[1]);
        body(events[1]);
        std::_Exit(3);
    }
    ::close(events[1]);
    ::close(out[1]);
    if (afterFork)
        afterFork();
    ChildResult result;
    pollfd fds[2] = {{events[0], POLLIN, 0}, {out[0], POLLIN, 0}};
    std::string *texts[2] = {&result.events, &result.out};
    int open = 2;
    while (open > 0 && secondsSince(start) < 10.0) {
        if (::poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[256];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (open > 0) {
        ADD_FAILURE() << "the child hung";
        ::kill(pid, SIGKILL);
        for (pollfd &fd : fds)
            if (fd.fd >= 0)
                ::close(fd.fd);
    }
    ::waitpid(pid, &result.status, 0);
    result.seconds = secondsSince(start);
    return result;
}

void report(int fd, char event)
{
    (void)!::write(fd, &event, 1);
}

// The side button held down or let go on the fake input device.
void holdSideButton(bool down)
{
    kxsim::FakeInput::instance().setKey(KEY_ESC, down);
}

class Watcher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.redirect();
        fake.answerTriggerWith(fakedrone::navdataPacket(0, fakedrone::Demo{}));
    }
    void TearDown() override
    {
        holdSideButton(false);
        kxsim::FakeNetwork::instance().reset();
    }

    // The land commands that came after the last take-off, once the child
    // has ended.
    int landsAfterTakeoff()
    {
        std::this_thread::sleep_for(milliseconds(50));
        int lands = 0;
        for (const fakedrone::Command &command : fake.commands()) {
            if (command.name == "REF" && command.arguments == "290718208")
                lands = 0;
            else if (command.name == "REF" && command.arguments == "290717696")
                ++lands;
        }
        return lands;
    }

    // Answers only once started, after the fork.
    fakedrone::FakeDrone fake{false};
    std::function<void()> startFake = [this] { fake.start(); };
};

// Connects `drone` to the fake and takes off; a child that cannot ends with 4.
void takeOff(ARDrone &drone)
{
    if (!drone.connect("192.168.1.1", 3.0))
        std::_Exit(4);
    drone.takeoff();
}

// -------------------------------------------------------------- the watcher

TEST_F(Watcher, DisabledWatcherIgnoresTheHeldButton)
{
    const ChildResult child = runChild([](int events) {
        ARDrone drone;
        takeOff(drone);
        ARDroneEmergencyStop watcher(&drone);
        report(events, watcher.isEnabled() ? 'E' : 'e');
        holdSideButton(true);
        watcher.start();
        std::this_thread::sleep_for(milliseconds(700)); // three checks and more
        watcher.stop();
        watcher.join();
        report(events, drone.state() == ARDrone::Disconnected ? '0' : 'c');
        std::_Exit(3); // before the client's destructor lands the drone
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 3);
    // Disabled from the start, joined normally, still connected.
    EXPECT_EQ(child.events, "ec");
    EXPECT_EQ(landsAfterTakeoff(), 0);
}

TEST_F(Watcher, EnabledWithTheButtonHeldDisconnectsOnceAndExitsWithZero)
{
    const ChildResult child = runChild([](int) {
        ARDrone drone;
        takeOff(drone);
        ARDroneEmergencyStop watcher(&drone);
        watcher.setEnabled(true);
        holdSideButton(true);
        std::printf("still in the buffer");
        watcher.start();
        std::this_thread::sleep_for(milliseconds(3000));
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_GE(landsAfterTakeoff(), 1);
    EXPECT_EQ(child.out, ""); // ended without flushing stdio
    // The first check comes 200 ms after run() begins.
    EXPECT_GE(child.seconds, 0.19);
    EXPECT_LT(child.seconds, 2.0);
}

TEST_F(Watcher, StopDuringTheSleepStillMakesTheLastCheck)
{
    const ChildResult child = runChild([](int) {
        ARDrone drone;
        takeOff(drone);
        ARDroneEmergencyStop watcher(&drone);
        watcher.setEnabled(true);
        watcher.start();
        std::this_thread::sleep_for(milliseconds(50));
        watcher.stop();
        holdSideButton(true);
        std::this_thread::sleep_for(milliseconds(2000));
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_GE(landsAfterTakeoff(), 1);
}

TEST_F(Watcher, StopEndsRunAfterThePassItIsIn)
{
    ARDrone drone;
    ARDroneEmergencyStop watcher(&drone);
    const auto start = Clock::now();
    watcher.start();
    std::this_thread::sleep_for(milliseconds(50));

    watcher.stop();
    watcher.join();

    EXPECT_FALSE(watcher.isRunning());
    EXPECT_GE(secondsSince(start), 0.19); // the sleep of that pass ran out
    EXPECT_LT(secondsSince(start), 2.0);
}

TEST_F(Watcher, AStoppedWatcherCanStartAgain)
{
    ARDrone drone;
    ARDroneEmergencyStop watcher(&drone);
    watcher.start();
    std::this_thread::sleep_for(milliseconds(50));
    watcher.stop();
    watcher.join();

    watcher.start();
    // run() cleared the old stop: it is still polling two passes later.
    std::this_thread::sleep_for(milliseconds(450));
    EXPECT_TRUE(watcher.isRunning());

    watcher.stop();
    watcher.join();
    EXPECT_FALSE(watcher.isRunning());
}

// ------------------------------------------------------- the client's watcher

using ClientWatcher = Watcher;

TEST_F(ClientWatcher, EmergencyStopOfAConnectedClientLandsDisconnectsAndExits)
{
    const ChildResult child = runChild([](int) {
        ARDrone &drone = ARDrone::instance();
        takeOff(drone);
        drone.setEmergencyStopEnabled(true);
        holdSideButton(true);
        std::this_thread::sleep_for(milliseconds(3000));
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    ASSERT_EQ(WEXITSTATUS(child.status), 0);
    EXPECT_GE(landsAfterTakeoff(), 1);
    // The last word to the drone was to land.
    const std::vector<fakedrone::Command> commands = fake.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().text.substr(commands.back().text.find(',')), ",290717696");
}

TEST_F(ClientWatcher, ClientWithTheEmergencyStopOffKeepsRunning)
{
    const ChildResult child = runChild([](int) {
        ARDrone &drone = ARDrone::instance();
        takeOff(drone);
        holdSideButton(true);
        std::this_thread::sleep_for(milliseconds(700));
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 3);
}

TEST_F(ClientWatcher, DisconnectRightAfterConnectingStillStopsTheWatcher)
{
    const ChildResult child = runChild([](int) {
        ARDrone &drone = ARDrone::instance();
        // Disconnecting before the watcher's thread is under way must not
        // leave it watching.
        for (int round = 0; round < 5; ++round) {
            if (!drone.connect("192.168.1.1", 3.0))
                std::_Exit(4);
            drone.disconnect();
        }
        drone.setEmergencyStopEnabled(true);
        holdSideButton(true);
        std::this_thread::sleep_for(milliseconds(700));
    }, startFake);

    ASSERT_TRUE(WIFEXITED(child.status));
    EXPECT_EQ(WEXITSTATUS(child.status), 3);
}

} // namespace
