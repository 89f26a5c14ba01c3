#ifndef KESTRIX_PRIVATE_BITS_P_H
#define KESTRIX_PRIVATE_BITS_P_H

#include <cstdint>

namespace Private {
namespace Bits {

// The number of zero bits above the highest set bit of `value`, 32 for 0.
// Loop-free: one to four lookups in a 256-entry table, most significant byte
// first.
std::uint8_t leadingZeros(unsigned int value);

} // namespace Bits
} // namespace Private

#endif
