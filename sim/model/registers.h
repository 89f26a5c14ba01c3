// The coprocessor's side of the link: its register file of 150 bytes, the
// 86-byte packet of one exchange, and the behaviour that gives the registers
// a life of their own between exchanges (the simulator's model). The fake
// SPI device carries packets to and from a register file; the model of the
// coprocessor is a Behaviour of that file.
#ifndef KESTRIX_SIM_MODEL_REGISTERS_H
#define KESTRIX_SIM_MODEL_REGISTERS_H

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>

namespace kxsim {

constexpr std::size_t PacketLength = 86;
constexpr std::size_t RegisterCount = 150;

// The coprocessor's register file. Multi-byte registers are big-endian.
struct RegisterFile
{
    std::array<std::uint8_t, RegisterCount> bytes{};

    std::uint8_t get8(std::size_t address) const { return bytes.at(address); }
    std::uint16_t get16(std::size_t address) const;
    std::uint32_t get32(std::size_t address) const;
    void set8(std::size_t address, std::uint8_t value) { bytes.at(address) = value; }
    void set16(std::size_t address, std::uint16_t value);
    void set32(std::size_t address, std::uint32_t value);
};

using Packet = std::array<std::uint8_t, PacketLength>;

// Behaviour of the registers between exchanges (the simulator's model).
class Behaviour
{
public:
    virtual ~Behaviour() = default;
    // Around every exchange and update, under the fake's lock: a register
    // file shared with other processes is brought in, then put back.
    virtual void acquire(RegisterFile &registers) { (void)registers; }
    virtual void release(const RegisterFile &registers) { (void)registers; }
    // At the start of every exchange, before its write pairs are applied.
    virtual void advance(RegisterFile &registers) { (void)registers; }
    // After the write pairs of one exchange were applied; `written` marks
    // every byte address that the packet wrote.
    virtual void written(RegisterFile &registers, const std::bitset<RegisterCount> &written)
    {
        (void)registers;
        (void)written;
    }
};

inline std::uint16_t RegisterFile::get16(std::size_t address) const
{
    return static_cast<std::uint16_t>((bytes.at(address) << 8) | bytes.at(address + 1));
}

inline std::uint32_t RegisterFile::get32(std::size_t address) const
{
    return (std::uint32_t(bytes.at(address)) << 24) | (std::uint32_t(bytes.at(address + 1)) << 16)
        | (std::uint32_t(bytes.at(address + 2)) << 8) | std::uint32_t(bytes.at(address + 3));
}

inline void RegisterFile::set16(std::size_t address, std::uint16_t value)
{
    bytes.at(address) = static_cast<std::uint8_t>(value >> 8);
    bytes.at(address + 1) = static_cast<std::uint8_t>(value);
}

inline void RegisterFile::set32(std::size_t address, std::uint32_t value)
{
    for (std::size_t k = 0; k < 4; ++k)
        bytes.at(address + k) = static_cast<std::uint8_t>(value >> (8 * (3 - k)));
}

} // namespace kxsim

#endif
