#include "kestrix/util.h"

#include "private/time_p.h"

#include <cstdint>
#include <limits>

void msleep(long msecs)
{
    // A negative count would become a sleep of centuries once made unsigned.
    if (msecs <= 0)
        return;
    // 64-bit arithmetic on every architecture; counts beyond what 64 bits of
    // microseconds can hold (about 292 000 years) are cut to that.
    constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() / 1000;
    const std::uint64_t ms = static_cast<std::uint64_t>(msecs);
    Private::Time::microsleep((ms > limit ? limit : ms) * 1000);
}

unsigned long systime(void)
{
    return static_cast<unsigned long>(Private::Time::systime());
}

double seconds(void)
{
    return static_cast<double>(static_cast<std::uint64_t>(Private::Time::systime())) / 1000.0;
}
