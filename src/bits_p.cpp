#include "private/bits_p.h"

#include <array>

namespace Private {
namespace Bits {

namespace {

// Entry b: leading zero bits of b as an 8-bit value; entry 0 is 8, so a zero
// byte carries the count on to the next one.
constexpr std::array<std::uint8_t, 256> makeTable()
{
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        std::uint8_t zeros = 8;
        for (unsigned v = b; v != 0; v >>= 1)
            --zeros;
        table[b] = zeros;
    }
    return table;
}

} // namespace

std::uint8_t leadingZeros(unsigned int value)
{
    static constexpr std::array<std::uint8_t, 256> table = makeTable();
    std::uint8_t count = table[(value >> 24) & 0xFF];
    if (count == 8)
        count += table[(value >> 16) & 0xFF];
    if (count == 16)
        count += table[(value >> 8) & 0xFF];
    if (count == 24)
        count += table[value & 0xFF];
    return count;
}

} // namespace Bits
} // namespace Private
