#include "buttons_fixture.h"

#include "kestrix/button.h"
#include "kestrix/wait_for.h"

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include <linux/input.h>

namespace {

const std::vector<int> buttonKeys = {KEY_A, KEY_B, KEY_C, KEY_X, KEY_Y, KEY_Z, KEY_ESC};

struct Waiter
{
    const char *name;
    int key;
    void (*wait)();
};

const std::vector<Waiter> pressWaiters = {
    {"a", KEY_A, wait_for_a_button}, {"b", KEY_B, wait_for_b_button},
    {"c", KEY_C, wait_for_c_button}, {"x", KEY_X, wait_for_x_button},
    {"y", KEY_Y, wait_for_y_button}, {"z", KEY_Z, wait_for_z_button},
    {"side", KEY_ESC, wait_for_side_button},
};

const std::vector<Waiter> clickWaiters = {
    {"a", KEY_A, wait_for_a_button_clicked}, {"b", KEY_B, wait_for_b_button_clicked},
    {"c", KEY_C, wait_for_c_button_clicked}, {"x", KEY_X, wait_for_x_button_clicked},
    {"y", KEY_Y, wait_for_y_button_clicked}, {"z", KEY_Z, wait_for_z_button_clicked},
    {"side", KEY_ESC, wait_for_side_button_clicked},
};

std::vector<std::uint64_t> tenMs(std::size_t count)
{
    return std::vector<std::uint64_t>(count, 10000);
}

// The sleeps of the wait itself, without the transport's 50 µs pause after
// each SPI exchange.
std::vector<std::uint64_t> waitSleeps(const std::vector<std::uint64_t> &sleeps)
{
    std::vector<std::uint64_t> result;
    for (std::uint64_t us : sleeps)
        if (us != 50)
            result.push_back(us);
    return result;
}

} // namespace

class WaitFor : public ButtonBoard
{
protected:
    // Runs `wait` and reports whether it returned within ten seconds. A wait
    // that misses its condition would spin on for ever: it is then ended by
    // a press and release of every button, so that the test fails instead
    // of hanging.
    bool returns(void (*wait)())
    {
        auto done = std::async(std::launch::async, wait);
        if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            return true;
        while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            for (int key : buttonKeys)
                input().setKey(key, true);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (int key : buttonKeys)
                input().setKey(key, false);
        }
        return false;
    }
};

TEST_F(WaitFor, ButtonAlreadyPressedReturnsWithoutSleeping)
{
    for (const Waiter &w : pressWaiters) {
        input().setKey(w.key, true);
        EXPECT_TRUE(returns(w.wait)) << w.name;
        input().setKey(w.key, false);
    }
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(WaitFor, ButtonWaitLooksEveryTenMilliseconds)
{
    input().setKeyAfterReads(3, KEY_B, true);
    ASSERT_TRUE(returns(wait_for_b_button));
    EXPECT_EQ(clock().sleeps(), tenMs(3));
    EXPECT_EQ(input().keyReads(), 4u);
}

TEST_F(WaitFor, AnyButtonWaitEndsOnTheSideButton)
{
    // Each pass reads all seven buttons; the side button goes down after
    // the second pass.
    input().setKeyAfterReads(14, KEY_ESC, true);
    ASSERT_TRUE(returns(wait_for_any_button));
    EXPECT_EQ(clock().sleeps(), tenMs(2));
}

TEST_F(WaitFor, ClickWaitReturnsAfterAPressAndItsRelease)
{
    // Read 1 (the state) and read 2 (the follow-up) see the key up; it goes
    // down for reads 3 to 5 and is let go after read 5.
    input().setKeyAfterReads(2, KEY_A, true);
    input().setKeyAfterReads(5, KEY_A, false);

    ASSERT_TRUE(returns(wait_for_a_button_clicked));
    EXPECT_FALSE(input().key(KEY_A));
    EXPECT_EQ(input().keyReads(), 6u);
    // One pass without a press, then two looks while the key is held.
    EXPECT_EQ(clock().sleeps(), tenMs(3));
}

TEST_F(WaitFor, EachClickWaitWatchesItsOwnButton)
{
    for (const Waiter &w : clickWaiters) {
        input().setKey(w.key, true);
        input().setKeyAfterReads(2, w.key, false);
        EXPECT_TRUE(returns(w.wait)) << w.name;
        EXPECT_FALSE(input().key(w.key)) << w.name;
    }
}

TEST_F(WaitFor, ClickWaitEndsOnlyWithTheRelease)
{
    input().setKey(KEY_ESC, true);
    std::atomic<bool> released{false};
    std::thread releaser([&released, this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        input().setKey(KEY_ESC, false);
    });
    EXPECT_TRUE(returns(wait_for_side_button_clicked));
    // The click ends only with the release.
    EXPECT_TRUE(released.load());
    releaser.join();
}

TEST_F(WaitFor, MillisecondsIsOneSleepOfThatLength)
{
    wait_for_milliseconds(0);
    EXPECT_EQ(clock().sleepCount(), 0u);
    wait_for_milliseconds(25);
    EXPECT_EQ(clock().sleeps(), (std::vector<std::uint64_t>{25000}));
}

TEST_F(WaitFor, TouchReturnsAtOnceWhenThePinReadsLow)
{
    // A touch sensor pulls its pin low: digital() is 1 for a 0 bit.
    spi().setRegister16(1, 0xFFFF & ~(1u << 3));
    wait_for_touch(3);
    EXPECT_EQ(waitSleeps(clock().sleeps()), tenMs(0));
    EXPECT_EQ(spi().exchangeCount(), 1u);
}

TEST_F(WaitFor, TouchSleepsTenMillisecondsBetweenReads)
{
    spi().setRegister16(1, 0xFFFF);
    spi().afterExchange(2, [](kxsim::RegisterFile &registers) { registers.set16(1, 0xFFFF & ~(1u << 5)); });
    wait_for_touch(5);
    EXPECT_EQ(waitSleeps(clock().sleeps()), tenMs(2));
    EXPECT_EQ(spi().exchangeCount(), 3u);
}
