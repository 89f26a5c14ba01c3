#ifndef KESTRIX_PRIVATE_TIME_P_H
#define KESTRIX_PRIVATE_TIME_P_H

#include <cstdint>

namespace Private {
namespace Time {

// The longest single request to usleep: one less than a million.
constexpr std::uint64_t MaxSleepPieceUs = 999999;

// Sleeps `us` microseconds in pieces of at most MaxSleepPieceUs. A failed
// piece is reported with perror("usleep") and ends the sleep early. The count
// is 64 bits wide on every architecture, so no millisecond count overflows it.
void microsleep(std::uint64_t us);

// Milliseconds since the epoch: tv_sec * 1000 + tv_usec / 1000.
std::int64_t systime();

} // namespace Time
} // namespace Private

#endif
