#ifndef KESTRIX_PRIVATE_ACCEL_P_H
#define KESTRIX_PRIVATE_ACCEL_P_H

namespace Private {

// Reads the accel axes that the coprocessor publishes, one 16-bit register
// per axis and one exchange per reading, as signed raw values.
class Accel
{
public:
    static Accel &instance();

    short xAccel() const;
    short yAccel() const;
    short zAccel() const;
    // Nothing to calibrate on this sensor: always true, sends nothing.
    bool calibrate() const;

private:
    Accel() = default;
};

} // namespace Private

#endif
