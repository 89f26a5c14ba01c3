#include "private/digital_p.h"

#include "private/kestrix_p.h"
#include "private/registers_p.h"

namespace Private {

namespace {
bool readBit(Registers::Register reg, unsigned char pin)
{
    return (Kestrix::instance().read(reg).value & Registers::digitalPinMask(pin)) != 0;
}

// The registers are shared by all sixteen pins, so another thread's change
// must not land between our read and our write.
void writeBit(Registers::Register reg, unsigned char pin, bool on)
{
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    // A failed read leaves the register unknown: writing our bit back onto
    // it would wipe the other fifteen pins, so the update is dropped.
    const Kestrix::Reading reading = kestrix.read(reg);
    if (!reading.ok)
        return;
    const unsigned short current = static_cast<unsigned short>(reading.value);
    const unsigned short mask = Registers::digitalPinMask(pin);
    const unsigned short next = on ? static_cast<unsigned short>(current | mask)
                                   : static_cast<unsigned short>(current & ~mask);
    kestrix.write(reg, next);
}
} // namespace

Digital &Digital::instance()
{
    static Digital s_instance;
    return s_instance;
}

bool Digital::value(unsigned char pin) const
{
    return readBit(Registers::digitalLevels, pin);
}

bool Digital::setValue(unsigned char pin, bool value)
{
    writeBit(Registers::digitalOutputs, pin, value);
    return true;
}

Digital::Direction Digital::direction(unsigned char pin) const
{
    return readBit(Registers::digitalDirections, pin) ? Output : Input;
}

bool Digital::setDirection(unsigned char pin, const Direction &direction)
{
    if (direction != Input && direction != Output)
        return false;
    writeBit(Registers::digitalDirections, pin, direction == Output);
    return true;
}

bool Digital::pullup(unsigned char pin) const
{
    return readBit(Registers::digitalPullups, pin);
}

bool Digital::setPullup(unsigned char pin, bool pullup)
{
    writeBit(Registers::digitalPullups, pin, pullup);
    return true;
}

void Digital::wiggle() const
{
}

} // namespace Private
