// The status block that the simulated program publishes and the launcher's
// panel reads while it runs: a reader on another thread sees each publish
// whole, never part of one and part of the next.
#include "model/sim_status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

namespace {

using kxsim::ControllerStatus;
using kxsim::SimStatus;

// Every field of the n-th publish follows from n.
ControllerStatus numbered(std::uint64_t n)
{
    ControllerStatus c{};
    c.exchanges = n;
    for (int i = 0; i < 4; ++i) {
        c.motorPosition[i] = c.motorSpeed[i] = c.servoShaft[i] = double(n);
        c.motorDuty[i] = c.servoCommand[i] = std::uint16_t(n);
        c.motorVelocity[i] = std::int16_t(n);
    }
    c.modes = c.directions = c.motorStatus = c.servoEnables = c.analogPullups = std::uint8_t(n);
    c.digitalIn = c.digitalOut = c.digitalPullups = c.digitalDirections = std::uint16_t(n);
    for (std::uint16_t &value : c.analog)
        value = std::uint16_t(n);
    c.batteryVolts = c.x = c.y = c.headingDeg = c.travelled = c.turned = double(n);
    c.hasPose = c.bumped = std::uint8_t(n);
    return c;
}

bool whole(const ControllerStatus &seen)
{
    const ControllerStatus e = numbered(seen.exchanges);
    bool same = seen.modes == e.modes && seen.directions == e.directions && seen.motorStatus == e.motorStatus &&
                seen.servoEnables == e.servoEnables && seen.analogPullups == e.analogPullups &&
                seen.digitalIn == e.digitalIn && seen.digitalOut == e.digitalOut &&
                seen.digitalPullups == e.digitalPullups && seen.digitalDirections == e.digitalDirections &&
                seen.batteryVolts == e.batteryVolts && seen.x == e.x && seen.y == e.y &&
                seen.headingDeg == e.headingDeg && seen.travelled == e.travelled && seen.turned == e.turned &&
                seen.hasPose == e.hasPose && seen.bumped == e.bumped;
    for (int i = 0; i < 4; ++i)
        same = same && seen.motorPosition[i] == e.motorPosition[i] && seen.motorSpeed[i] == e.motorSpeed[i] &&
               seen.servoShaft[i] == e.servoShaft[i] && seen.motorDuty[i] == e.motorDuty[i] &&
               seen.servoCommand[i] == e.servoCommand[i] && seen.motorVelocity[i] == e.motorVelocity[i];
    for (int i = 0; i < 6; ++i)
        same = same && seen.analog[i] == e.analog[i];
    return same;
}

TEST(SimStatusSnapshot, AReaderSeesEachPublishWhole)
{
    // Zeroed, as the launcher's fresh memory file is.
    auto status = std::make_unique<SimStatus>();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> published{0};
    std::thread writer([&] {
        std::uint64_t n = 0;
        while (!stop.load(std::memory_order_relaxed))
            status->publish(numbered(++n));
        published = n;
    });
    // Half a second of reads while the writer publishes, as the panel's do.
    int reads = 0, torn = 0;
    std::uint64_t latest = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < until) {
        const ControllerStatus seen = status->snapshot();
        ++reads;
        torn += !whole(seen);
        EXPECT_GE(seen.exchanges, latest) << "publishes are seen in order";
        latest = seen.exchanges;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(latest, 0u) << "the reader saw publishes";
    EXPECT_EQ(status->snapshot().exchanges, published.load());
    EXPECT_TRUE(whole(status->snapshot()));
}

} // namespace
