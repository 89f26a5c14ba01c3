// The clock and sleep calls where the width of `long` matters: 64 bits on the
// desktop, 32 on the board. The same cases run in both builds.
#include "fixture.h"

#include "kestrix/util.h"

#include <cstdint>
#include <ctime>
#include <numeric>

using ClockWidth = VirtualTimeBoard;

namespace {

// 2023-11-14 22:13:20.123456 UTC: far past 2^32 milliseconds since the epoch.
constexpr std::int64_t LateUs = INT64_C(1700000000123456);
constexpr std::uint64_t LateMs = UINT64_C(1700000000123);

} // namespace

TEST_F(ClockWidth, SecondsKeepsTheFullClockWhereSystimeIsCutToUnsignedLong)
{
    clock().setNowUs(LateUs);

    EXPECT_DOUBLE_EQ(seconds(), static_cast<double>(LateMs) / 1000.0);
    // Cut to unsigned long: the whole count on a 64-bit ABI, its low 32 bits
    // on the board (1700000000123 - 395 * 2^32).
    const unsigned long expected = sizeof(unsigned long) >= 8 ? 1700000000123UL
                                                              : 3487918203UL;
    EXPECT_EQ(systime(), expected);
}

TEST_F(ClockWidth, MsleepPastFourBillionMicrosecondsSleepsTheWholeCount)
{
    // 4294968 ms is 4294968000 us: more than 32 bits hold, and more than a
    // signed 32-bit millisecond count times 1000.
    clock().setNowUs(LateUs);

    msleep(4294968);

    const std::vector<std::uint64_t> pieces = clock().sleeps();
    const std::uint64_t total = std::accumulate(pieces.begin(), pieces.end(), std::uint64_t(0));
    EXPECT_EQ(total, UINT64_C(4294968000));
    ASSERT_EQ(pieces.size(), 4295u);
    EXPECT_EQ(pieces.front(), 999999u);
    EXPECT_EQ(pieces.back(), UINT64_C(4294968000) - 4294u * 999999u);
    EXPECT_EQ(clock().nowUs(), LateUs + INT64_C(4294968000));
}

using HostClock = FakeBoard;

TEST_F(HostClock, SecondsAgreesWithTheHostClockToWithinASecond)
{
    const std::time_t before = std::time(nullptr);
    const double now = seconds();
    const std::time_t after = std::time(nullptr);

    EXPECT_GE(now, static_cast<double>(before));
    EXPECT_LT(now, static_cast<double>(after) + 1.0);
}
