#ifndef KESTRIX_PRIVATE_ANALOG_P_H
#define KESTRIX_PRIVATE_ANALOG_P_H

namespace Private {

// The six analog inputs. Port n's conversion result is the 16-bit register
// 9 + 2n; its pull-up is bit n of the 8-bit register 21.
//
// Port numbers are not range-checked. The value register address wraps
// modulo 256 and one that ends beyond the inbound snapshot reads 0 without
// an exchange; a port of 8 or more selects no pull-up bit.
class Analog
{
public:
    static Analog &instance();

    // The raw conversion result, as the register holds it. One exchange.
    unsigned short value(unsigned char port) const;

    // Bit `port` of register 21. One exchange.
    bool pullup(unsigned char port) const;

    // Read register 21, change bit `port`, write it back (always, unless the
    // read failed: then nothing is written): two
    // exchanges.
    void setPullup(unsigned char port, bool pullup);

private:
    Analog() = default;
};

} // namespace Private

#endif
