#ifndef KESTRIX_PRIVATE_SERVO_P_H
#define KESTRIX_PRIVATE_SERVO_P_H

namespace Private {

// The four servo ports. Positions run 0 to 1023 and map linearly onto the
// pulse command the coprocessor generates, 600 to 2400 microseconds, held in
// the 16-bit register 76 + 2 * port. Servo s is enabled by bit 4 + s of the
// 8-bit register 59; bits 0 to 3 belong to the coprocessor and are written
// back as read.
//
// Ports outside 0 to 3 are refused before any exchange.
class Servo
{
public:
    static Servo &instance();

    // 0 to 3; every operation refuses any other port.
    static bool isValidPort(int port);

    // Reads register 59 and writes it only when the bit must change and the
    // read succeeded.
    void setEnabled(int port, bool enabled);
    // False for a refused port.
    bool isEnabled(int port) const;

    // Clamps the position to 1023 and writes the pulse command (one
    // exchange, no read). False for a refused port.
    bool setPosition(int port, unsigned short position);
    // The position the pulse command register converts back to, 0 to 1023.
    // Both conversions truncate, so most positions read back one less than
    // was set. 65535 for a refused port.
    unsigned short position(int port) const;

private:
    Servo() = default;
};

} // namespace Private

#endif
