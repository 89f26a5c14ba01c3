#ifndef KESTRIX_PRIVATE_MAGNETO_P_H
#define KESTRIX_PRIVATE_MAGNETO_P_H

namespace Private {

// Reads the magneto axes that the coprocessor publishes, one 16-bit register
// per axis and one exchange per reading, as signed raw values.
class Magneto
{
public:
    static Magneto &instance();

    short xMagneto() const;
    short yMagneto() const;
    short zMagneto() const;
    // Nothing to calibrate on this sensor: always true, sends nothing.
    bool calibrate() const;

private:
    Magneto() = default;
};

} // namespace Private

#endif
