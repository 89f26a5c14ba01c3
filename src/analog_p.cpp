#include "private/analog_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

Analog &Analog::instance()
{
    static Analog s_instance;
    return s_instance;
}

unsigned short Analog::value(unsigned char port) const
{
    // Register addresses are bytes: the address wraps modulo 256, and one
    // that ends past the snapshot reads 0 without an exchange.
    return static_cast<unsigned short>(Kestrix::instance().read(Registers::analogValue(port)).value);
}

bool Analog::pullup(unsigned char port) const
{
    return (Kestrix::instance().read(Registers::analogPullups).value & Registers::analogPullupMask(port)) != 0;
}

void Analog::setPullup(unsigned char port, bool pullup)
{
    // Every analog reading rewrites register 21, often from several threads:
    // keep the read and the write together.
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    // After a failed read the other ports' bits are unknown: no write.
    const Kestrix::Reading reading = kestrix.read(Registers::analogPullups);
    if (!reading.ok)
        return;
    const unsigned char current = static_cast<unsigned char>(reading.value);
    const unsigned char mask = Registers::analogPullupMask(port);
    const unsigned char next = pullup ? static_cast<unsigned char>(current | mask)
                                      : static_cast<unsigned char>(current & ~mask);
    kestrix.write(Registers::analogPullups, next);
}

} // namespace Private
