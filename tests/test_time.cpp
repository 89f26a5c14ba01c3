#include "capture.h"
#include "fixture.h"

#include "kestrix/audio.h"
#include "kestrix/util.h"
#include "private/time_p.h"

#include <cerrno>
#include <climits>
#include <cstring>

using Sleep = VirtualTimeBoard;
using Us = std::vector<std::uint64_t>;

TEST_F(Sleep, LongSleepsAreSplitIntoPiecesBelowOneSecond)
{
    const std::int64_t start = clock().nowUs();
    msleep(2500);
    EXPECT_EQ(clock().sleeps(), (Us{999999, 999999, 500002}));
    EXPECT_EQ(clock().nowUs() - start, 2500000);

    clock().reset();
    msleep(1000);
    EXPECT_EQ(clock().sleeps(), (Us{999999, 1}));

    clock().reset();
    msleep(1);
    EXPECT_EQ(clock().sleeps(), (Us{1000}));

    clock().reset();
    msleep(999);
    EXPECT_EQ(clock().sleeps(), (Us{999000}));
}

TEST_F(Sleep, ZeroAndNegativeCountsDoNotSleep)
{
    msleep(0);
    msleep(-1);
    msleep(-2500);
    msleep(LONG_MIN);
    Private::Time::microsleep(0);
    EXPECT_EQ(clock().sleepCount(), 0u);
}

TEST_F(Sleep, InterruptedPieceIsReportedOnceAndEndsTheSleep)
{
    clock().failSleep(2, EINTR);
    const std::int64_t start = clock().nowUs();

    Capture err(2);
    msleep(3000);

    EXPECT_EQ(err.text(), std::string("usleep: ") + std::strerror(EINTR) + "\n");
    EXPECT_EQ(clock().sleeps(), (Us{999999, 999999}));
    EXPECT_EQ(clock().nowUs() - start, 999999);
}

using Clock = VirtualTimeBoard;

TEST_F(Clock, SystimeTruncatesToTheMillisecond)
{
    constexpr std::int64_t S = 1765000000;
    clock().setNowUs(S * 1000000 + 345999);
    EXPECT_EQ(systime(), static_cast<unsigned long>(S * 1000 + 345));
    EXPECT_EQ(Private::Time::systime(), S * 1000 + 345);

    clock().setNowUs(S * 1000000 + 999);
    EXPECT_EQ(systime(), static_cast<unsigned long>(S * 1000));
}

TEST_F(Clock, SecondsIsSystimeInSeconds)
{
    clock().setNowUs(1765000000LL * 1000000 + 123456);
    // The 64-bit clock: systime()'s unsigned long wraps on a 32-bit ABI.
    EXPECT_EQ(seconds(), static_cast<double>(Private::Time::systime()) / 1000.0);
    EXPECT_DOUBLE_EQ(seconds(), 1765000000.123);

    clock().advanceUs(1500);
    EXPECT_DOUBLE_EQ(seconds(), 1765000000.124);
}

TEST(Bell, BeepWritesOneBelByteAndDoesNotFlush)
{
    Capture out(1);
    beep();
    const std::string beforeFlush = out.unflushed();
    std::fflush(stdout);
    EXPECT_EQ(beforeFlush, "");
    EXPECT_EQ(out.text(), "\a");
}
