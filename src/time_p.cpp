#include "private/time_p.h"

#include "private/compat_p.h"

#include <algorithm>
#include <cstdio>

#include <sys/time.h>

namespace Private {
namespace Time {

void microsleep(std::uint64_t us)
{
    std::uint64_t remaining = us;
    while (remaining != 0) {
        const std::uint64_t piece = std::min(remaining, MaxSleepPieceUs);
        if (compat::microsleep(static_cast<unsigned long>(piece)) != 0) {
            std::perror("usleep");
            return;
        }
        remaining -= piece;
    }
}

std::int64_t systime()
{
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    return std::int64_t(now.tv_sec) * 1000 + std::int64_t(now.tv_usec) / 1000;
}

} // namespace Time
} // namespace Private
