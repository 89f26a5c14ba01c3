// The coprocessor's register map: every register the library uses, in one
// table. Drivers name registers from here and define no addresses of their
// own; only the transport (kestrix_p) knows how a register travels.
//
// The register file is byte-addressed. A register of width w bytes at
// address a occupies a to a + w - 1, most significant byte at the lowest
// address. The inbound packet carries bytes 0 to 85, so a register is
// readable only if it ends at or below 85; writes may reach 148. Registers
// from 86 up are therefore write-only from here: nothing reads them back.
//
// Port numbers in the formulas: motor m and servo s run 0 to 3, a digital
// pin n is a bit 0 to 15 of the digital registers, analog port n runs 0 to 5.
// Addresses are bytes: a formula fed a port far out of range wraps modulo
// 256 like any other byte arithmetic (the callers that do not check their
// ports rely on this being harmless, never on where it lands).
#ifndef KESTRIX_PRIVATE_REGISTERS_P_H
#define KESTRIX_PRIVATE_REGISTERS_P_H

#include <cstdint>

namespace Private {
namespace Registers {

// One register: where it starts and how many bytes it spans.
struct Register
{
    unsigned char address;
    unsigned char width; // bytes: 1, 2 or 4

    constexpr unsigned int last() const { return address + width - 1u; }
};

// The windows of the 86-byte exchange.
constexpr unsigned int PacketLength = 86;
constexpr unsigned char ReadWindowEnd = 85;   // last byte of the inbound snapshot
constexpr unsigned char WriteWindowEnd = 148; // last byte a write pair may address

// 0, 8-bit, read by the transport alone: byte 0 of every inbound packet is
// this marker, not a data register; the outbound packet starts with it too.
constexpr Register inboundMarker{0, 1};
constexpr std::uint8_t StartMarker = 0x4A; // 'J'

constexpr bool readable(Register r) { return r.last() <= ReadWindowEnd; }
constexpr bool writable(Register r) { return r.last() <= WriteWindowEnd; }

// Ports behind the registers.
constexpr int MotorCount = 4;
constexpr int ServoCount = 4;
constexpr unsigned int DigitalPinCount = 16; // one bit each of the 16-bit digital registers
constexpr unsigned int AnalogPortCount = 6;  // value registers below 21

namespace detail {
// Element `index` of an array of registers that starts at `first`, `stride`
// bytes apart. Byte arithmetic, so an index far out of range wraps.
constexpr Register element(unsigned char first, int index, unsigned int stride, unsigned char width)
{
    return {static_cast<unsigned char>(first + static_cast<unsigned int>(index) * stride), width};
}
} // namespace detail

// --- Digital pins: bit n of each register belongs to pin n -----------------

// 1, 16-bit, read: input levels as the coprocessor sees them.
constexpr Register digitalLevels{1, 2};
// 3, 16-bit, read/write: output levels.
constexpr Register digitalOutputs{3, 2};
// 5, 16-bit, read/write: pull-ups, 1 while pin n's pull-up is on.
constexpr Register digitalPullups{5, 2};
// 7, 16-bit, read/write: directions, 1 while pin n is an output, 0 an input.
constexpr Register digitalDirections{7, 2};

// Pin n's bit. A pin past the register's sixteen bits has none: shifting
// that far would be undefined, and such a pin must leave the register alone.
constexpr std::uint16_t digitalPinMask(unsigned int pin)
{
    return pin < DigitalPinCount ? static_cast<std::uint16_t>(1u << pin) : 0;
}

// --- Analog ports ------------------------------------------------------------

// 9 + 2n, 16-bit, read: conversion result of analog port n (9, 11, ... 19).
constexpr Register analogValue(int port) { return detail::element(9, port, 2, 2); }
// 21, 8-bit, read/write: analog pull-ups, bit n for port n. Bits 6 and 7 are
// the coprocessor's; they pass through a read-modify-write unchanged.
constexpr Register analogPullups{21, 1};

// Port n's pull-up bit; none from 8 on (past the 8-bit register).
constexpr std::uint8_t analogPullupMask(unsigned int port)
{
    return port < 8 ? static_cast<std::uint8_t>(1u << port) : 0;
}

// --- Inertial sensors: 16-bit, read, signed (two's complement) --------------

// 22, 24, 26: magnetometer x, y, z.
constexpr Register magnetoX{22, 2};
constexpr Register magnetoY{24, 2};
constexpr Register magnetoZ{26, 2};
// 28, 30, 32: accelerometer x, y, z.
constexpr Register accelX{28, 2};
constexpr Register accelY{30, 2};
constexpr Register accelZ{32, 2};
// 34, 36, 38: gyroscope x, y, z.
constexpr Register gyroX{34, 2};
constexpr Register gyroY{36, 2};
constexpr Register gyroZ{38, 2};

// --- Motors ------------------------------------------------------------------

// 40 + 4m, 32-bit, read (write of 0 clears it): position counter of motor
// m, signed (40, 44, 48, 52).
constexpr Register motorPosition(int motor) { return detail::element(40, motor, 4, 4); }

// 56, 8-bit, read/write: control modes, a two-bit field per motor.
constexpr Register motorModes{56, 1};
// 57, 8-bit, read/write: drive directions, a two-bit field per motor.
constexpr Register motorDirections{57, 1};

// Motor m's field in 56 and 57 is (register >> 2m) & 3.
constexpr unsigned int MotorFieldMask = 3;
constexpr unsigned int motorFieldShift(int motor) { return 2u * static_cast<unsigned int>(motor); }

// Codes of the mode field. The coprocessor's code 2 is never written.
constexpr unsigned int MotorModePwm = 0;         // open loop: duty and direction
constexpr unsigned int MotorModePidVelocity = 1; // holds the PID velocity
constexpr unsigned int MotorModePidPosition = 3; // drives to the goal at the PID velocity

// Codes of the direction field.
constexpr unsigned int MotorDirectionOff = 0;
constexpr unsigned int MotorDirectionBackward = 1;
constexpr unsigned int MotorDirectionForward = 2;
constexpr unsigned int MotorDirectionBrake = 3;

// 58, 8-bit, read: motor status, bit m set once motor m's PID move has
// finished.
constexpr Register motorStatus{58, 1};

// Motor m's done bit; a number that names no bit of the 8-bit register has
// none (and so never reads as done).
constexpr std::uint8_t motorDoneMask(int motor)
{
    return motor >= 0 && motor < 8 ? static_cast<std::uint8_t>(1u << motor) : 0;
}

// 60 + 2m, 16-bit, write/read: PID velocity of motor m, signed (60 ... 66).
constexpr Register motorPidVelocity(int motor) { return detail::element(60, motor, 2, 2); }
// 68 + 2m, 16-bit, write/read: PWM duty of motor m, 0 to MotorFullDuty
// (68 ... 74).
constexpr Register motorPwm(int motor) { return detail::element(68, motor, 2, 2); }
constexpr unsigned int MotorFullDuty = 400;

// 86 + 12m: motor m's block of six 16-bit gain registers, write-only,
// signed; each gain is numerator / divisor. Motor 0 uses 86-97, motor 1
// 98-109, motor 2 110-121, motor 3 122-133.
constexpr unsigned int MotorGainBlockLength = 12;
constexpr unsigned char motorGainBlock(int motor)
{
    return detail::element(86, motor, MotorGainBlockLength, 2).address;
}
namespace detail {
constexpr Register gain(int motor, unsigned int offset)
{
    return {static_cast<unsigned char>(motorGainBlock(motor) + offset), 2};
}
} // namespace detail
constexpr Register motorPGainNumerator(int motor) { return detail::gain(motor, 0); } // 86 + 12m
constexpr Register motorPGainDivisor(int motor) { return detail::gain(motor, 2); }   // 88 + 12m
constexpr Register motorIGainNumerator(int motor) { return detail::gain(motor, 4); } // 90 + 12m
constexpr Register motorIGainDivisor(int motor) { return detail::gain(motor, 6); }   // 92 + 12m
constexpr Register motorDGainNumerator(int motor) { return detail::gain(motor, 8); } // 94 + 12m
constexpr Register motorDGainDivisor(int motor) { return detail::gain(motor, 10); }  // 96 + 12m

// 133 + 4m, 32-bit, write-only: PID goal position of motor m, signed (133,
// 137, 141, 145). Motor 0's goal (133-136) and motor 3's D gain divisor
// (132-133) share byte 133: whichever is written later owns it. Both
// formulas hold as stated; the library does not compensate.
constexpr Register motorGoalPosition(int motor) { return detail::element(133, motor, 4, 4); }

// --- Servos ------------------------------------------------------------------

// 59, 8-bit, read/write: servo enables, bit 4 + s while servo s is enabled.
// Bits 0 to 3 are the coprocessor's own: written back as read.
constexpr Register servoEnables{59, 1};
constexpr std::uint8_t servoEnableMask(int servo) { return static_cast<std::uint8_t>(1u << (4 + servo)); }

// 76 + 2s, 16-bit, write/read: pulse command of servo s in microseconds,
// 600 to 2400 as the servo driver writes it (76 ... 82).
constexpr Register servoPulse(int servo) { return detail::element(76, servo, 2, 2); }

// 84 and 85 are not used by the library.

// Every register lies inside the window the library uses it through: the
// furthest read is servo 3's pulse command (82-83), the furthest write motor
// 3's goal position (145-148).
static_assert(readable(digitalDirections) && readable(analogValue(AnalogPortCount - 1))
                  && readable(analogPullups) && readable(gyroZ)
                  && readable(motorPosition(MotorCount - 1)) && readable(motorStatus)
                  && readable(servoEnables) && readable(motorPidVelocity(MotorCount - 1))
                  && readable(motorPwm(MotorCount - 1)) && readable(servoPulse(ServoCount - 1)),
              "a register the library reads lies outside the inbound snapshot");
static_assert(writable(motorDGainDivisor(MotorCount - 1)) && writable(motorGoalPosition(MotorCount - 1)),
              "a register the library writes lies outside the write window");
static_assert(analogValue(AnalogPortCount - 1).last() < analogPullups.address,
              "the analog value registers run into the pull-up register");

} // namespace Registers
} // namespace Private

#endif
