#ifndef KESTRIX_PRIVATE_DIGITAL_P_H
#define KESTRIX_PRIVATE_DIGITAL_P_H

#include <cstdint>

namespace Private {

// The sixteen digital pins. Pin n is bit n of four 16-bit coprocessor
// registers: reported level (1), output level (3), pull-up (5) and
// direction (7). Nothing is cached; every call asks the coprocessor.
//
// Pin numbers are not range-checked. A pin of 16 or more selects no bit:
// reads report false (Input) and writes put the register back unchanged.
class Digital
{
public:
    enum Direction : std::int32_t
    {
        Input = 0,
        Output = 1,
        // Never reported; setDirection refuses it.
        Invalid = 2
    };

    static Digital &instance();

    // One exchange each.
    bool value(unsigned char pin) const;
    Direction direction(unsigned char pin) const;
    bool pullup(unsigned char pin) const;

    // Read, change one bit, write back: two exchanges, the write sent even
    // when nothing changed; none when the read failed. Always true.
    bool setValue(unsigned char pin, bool value);
    bool setPullup(unsigned char pin, bool pullup);

    // As the setters above; Invalid returns false and sends nothing.
    bool setDirection(unsigned char pin, const Direction &direction);

    // The coprocessor needs no wake-up on these pins: sends nothing.
    void wiggle() const;

private:
    Digital() = default;
};

} // namespace Private

#endif
