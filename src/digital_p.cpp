#include "private/digital_p.h"

#include "private/kestrix_p.h"

namespace Private {

namespace {
constexpr unsigned char LevelRegister = 1;
constexpr unsigned char OutputRegister = 3;
constexpr unsigned char PullupRegister = 5;
constexpr unsigned char DirectionRegister = 7;
constexpr unsigned int RegisterBits = 16;

// Shifting by the register's width or more would be undefined; such a pin
// simply has no bit.
unsigned short pinMask(unsigned char pin)
{
    return pin < RegisterBits ? static_cast<unsigned short>(1u << pin) : 0;
}

bool readBit(unsigned char address, unsigned char pin)
{
    return (Kestrix::instance().readRegister16b(address) & pinMask(pin)) != 0;
}

// The registers are shared by all sixteen pins, so another thread's change
// must not land between our read and our write.
void writeBit(unsigned char address, unsigned char pin, bool on)
{
    Kestrix &kestrix = Kestrix::instance();
    auto guard = kestrix.updateLock();
    const unsigned short current = kestrix.readRegister16b(address);
    const unsigned short mask = pinMask(pin);
    const unsigned short next = on ? static_cast<unsigned short>(current | mask)
                                   : static_cast<unsigned short>(current & ~mask);
    kestrix.writeRegister16b(address, next);
}
} // namespace

Digital &Digital::instance()
{
    static Digital s_instance;
    return s_instance;
}

bool Digital::value(unsigned char pin) const
{
    return readBit(LevelRegister, pin);
}

bool Digital::setValue(unsigned char pin, bool value)
{
    writeBit(OutputRegister, pin, value);
    return true;
}

Digital::Direction Digital::direction(unsigned char pin) const
{
    return readBit(DirectionRegister, pin) ? Output : Input;
}

bool Digital::setDirection(unsigned char pin, const Direction &direction)
{
    if (direction != Input && direction != Output)
        return false;
    writeBit(DirectionRegister, pin, direction == Output);
    return true;
}

bool Digital::pullup(unsigned char pin) const
{
    return readBit(PullupRegister, pin);
}

bool Digital::setPullup(unsigned char pin, bool pullup)
{
    writeBit(PullupRegister, pin, pullup);
    return true;
}

void Digital::wiggle() const
{
}

} // namespace Private
