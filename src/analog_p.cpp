#include "private/analog_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {
constexpr unsigned char FirstValueRegister = 9;
constexpr unsigned char PullupRegister = 21;
constexpr unsigned int PullupBits = 8;

// Ports 6 and 7 still have a bit (the coprocessor's, passed through); from 8
// on a shift would leave the register, so such a port has none.
unsigned char portMask(unsigned char port)
{
    return port < PullupBits ? static_cast<unsigned char>(1u << port) : 0;
}
} // namespace

Analog &Analog::instance()
{
    static Analog s_instance;
    return s_instance;
}

unsigned short Analog::value(unsigned char port) const
{
    // Register addresses are bytes: the address wraps modulo 256.
    const unsigned char address = static_cast<unsigned char>(FirstValueRegister + 2 * port);
    return Kestrix::instance().readRegister16b(address);
}

bool Analog::pullup(unsigned char port) const
{
    return (Kestrix::instance().readRegister8b(PullupRegister) & portMask(port)) != 0;
}

void Analog::setPullup(unsigned char port, bool pullup)
{
    // Every analog reading rewrites register 21, often from several threads:
    // keep the read and the write together.
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    const unsigned char current = kestrix.readRegister8b(PullupRegister);
    const unsigned char mask = portMask(port);
    const unsigned char next = pullup ? static_cast<unsigned char>(current | mask)
                                      : static_cast<unsigned char>(current & ~mask);
    kestrix.writeRegister8b(PullupRegister, next);
}

} // namespace Private
