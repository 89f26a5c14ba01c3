// The library's outbound packets read back as register operations. A packet
// carries its number of (address, value) pairs in byte 3 and the pairs from
// byte 4; a read sends none, a write of w bytes sends w pairs at consecutive
// addresses, most significant value byte first.
#ifndef KESTRIX_TESTS_PACKETS_H
#define KESTRIX_TESTS_PACKETS_H

#include "fakes/fake_spi.h"

#include <cstdint>
#include <ostream>
#include <utility>
#include <vector>

namespace packets {

using Pairs = std::vector<std::pair<std::uint8_t, std::uint8_t>>;

// The write pairs of one outbound packet, as many as byte 3 says (at most the
// 40 that fit).
inline Pairs pairsOf(const kxsim::Packet &out)
{
    Pairs pairs;
    for (unsigned k = 0; k < out[3] && k < 40; ++k)
        pairs.emplace_back(out[4 + 2 * k], out[5 + 2 * k]);
    return pairs;
}

// One exchange as the coprocessor sees it: a read (the outbound batch is
// empty, so which register was read does not show) or a write of 1, 2 or 4
// bytes from `address`.
struct Op
{
    unsigned width = 0; // bytes; 0 for a read
    unsigned address = 0;
    std::uint32_t value = 0;

    bool operator==(const Op &other) const
    {
        return width == other.width && address == other.address && value == other.value;
    }
    bool operator!=(const Op &other) const { return !(*this == other); }
};

inline std::ostream &operator<<(std::ostream &os, const Op &op)
{
    if (op.width == 0)
        return os << "R";
    return os << "W" << op.width * 8 << "(" << op.address << ", 0x" << std::hex << op.value << std::dec << ")";
}

inline Op opOf(const kxsim::Packet &out)
{
    const Pairs pairs = pairsOf(out);
    Op op;
    op.width = static_cast<unsigned>(pairs.size());
    op.address = pairs.empty() ? 0 : pairs[0].first;
    for (unsigned k = 0; k < pairs.size(); ++k) {
        if (pairs[k].first != op.address + k)
            op.address = 0xDEAD; // pairs not consecutive: never expected
        op.value = (op.value << 8) | pairs[k].second;
    }
    return op;
}

// Every exchange recorded since the last reset, in order.
inline std::vector<Op> traffic()
{
    std::vector<Op> ops;
    for (const kxsim::Exchange &exchange : kxsim::FakeSpi::instance().exchanges())
        ops.push_back(opOf(exchange.out));
    return ops;
}

const Op R{};
inline Op W8(unsigned address, std::uint32_t value) { return {1, address, value & 0xFF}; }
inline Op W16(unsigned address, std::uint32_t value) { return {2, address, value & 0xFFFF}; }
inline Op W32(unsigned address, std::uint32_t value) { return {4, address, value}; }

} // namespace packets

#endif
