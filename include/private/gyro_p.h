#ifndef KESTRIX_PRIVATE_GYRO_P_H
#define KESTRIX_PRIVATE_GYRO_P_H

namespace Private {

// Reads the gyro axes that the coprocessor publishes, one 16-bit register
// per axis and one exchange per reading, as signed raw values.
class Gyro
{
public:
    static Gyro &instance();

    short xGyro() const;
    short yGyro() const;
    short zGyro() const;
    // Nothing to calibrate on this sensor: always true, sends nothing.
    bool calibrate() const;

private:
    Gyro() = default;
};

} // namespace Private

#endif
