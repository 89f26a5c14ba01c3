#ifndef KESTRIX_PRIVATE_MOTORS_P_H
#define KESTRIX_PRIVATE_MOTORS_P_H

#include "private/registers_p.h"

namespace Private {

// The four DC motor channels of the coprocessor, numbered 0 to 3.
//
// The driver keeps nothing: mode, direction, duty, velocity, goal, gains and
// position counter all live in the coprocessor's registers, and every query
// is a fresh exchange.
//
// Guarded operations ignore a port outside 0 to 3 without any exchange
// (setters send nothing, getters return 0). The unguarded ones (isPidActive,
// setPidVelocity, pidVelocity, setPidGoalPos) compute their register from
// whatever port they get: callers hand them 0 to 3 only.
//
// Modes and directions of all four motors share registers 56 and 57; their
// read-modify-writes hold the transport's update lock, so threads driving
// different motors do not lose each other's change, and write nothing when
// the read failed, so the other motors keep theirs.
class Motor
{
public:
    // Two-bit codes of register 56. The coprocessor's code 2 is never written.
    enum ControlMode {
        Pwm = Registers::MotorModePwm,                 // open loop: duty and direction
        PidVelocity = Registers::MotorModePidVelocity, // the coprocessor holds the PID velocity
        PidPosition = Registers::MotorModePidPosition  // the coprocessor drives to the goal at the PID velocity
    };

    // Two-bit codes of register 57.
    enum Direction {
        Off = Registers::MotorDirectionOff,
        Backward = Registers::MotorDirectionBackward,
        Forward = Registers::MotorDirectionForward,
        Brake = Registers::MotorDirectionBrake
    };

    static Motor &instance();

    // 0 to 3: the ports the guarded operations accept, and the only ones the
    // C interface hands to the unguarded ones.
    static bool isValidPort(int port);

    // Six 16-bit writes, in the order P, I, D numerator, then P, I, D divisor.
    // Motor 3's D divisor (132-133) shares byte 133 with motor 0's goal
    // position: whichever is written later wins that byte.
    void setPidGains(int port, short pn, short in, short dn, short pd, short id, short dd);
    // The gain registers lie beyond the readable snapshot: the outputs are
    // left as the caller set them and nothing is sent, whatever the port.
    void pidGains(int port, short &pn, short &in, short &dn, short &pd, short &id, short &dd) const;

    // Writes 0 to the position counter.
    void clearBemf(int port);
    // The signed position counter; 0 for a bad port.
    int backEMF(int port);

    void setControlMode(int port, ControlMode mode);
    ControlMode controlMode(int port) const;

    // True while the motor's done bit in the status register (58) is clear.
    // Unguarded; a port that names no bit of the 8-bit register reads as
    // active.
    bool isPidActive(int port) const;

    // Unguarded. The velocity goes out as its low 16 bits (two's complement).
    void setPidVelocity(int port, int velocity);
    // Unguarded. The register's 16 bits as a signed velocity.
    int pidVelocity(int port) const;

    // Unguarded. Motor 0's goal (133-136) shares byte 133 with motor 3's D
    // gain divisor.
    void setPidGoalPos(int port, int position);
    // The goal register is write-only from here: always 0, nothing is sent.
    int pidGoalPos(int port) const;

    // Switches to Pwm, then writes 4 x percent, at most 400 (full duty).
    void setPwm(int port, unsigned short percent);
    // Switches to Pwm, then sets the drive direction.
    void setPwmDirection(int port, Direction direction);
    // The duty register, 0 to 400; 0 for a bad port.
    unsigned short pwm(int port);
    Direction pwmDirection(int port) const;

    // Mode Pwm, direction Off. The duty register keeps its value.
    void stop(int port);

    Motor(const Motor &) = delete;
    Motor &operator=(const Motor &) = delete;

private:
    Motor() = default;
    ~Motor() = default;
};

} // namespace Private

#endif
