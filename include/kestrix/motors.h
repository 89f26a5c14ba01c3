/** @file
 * @addtogroup motors Motors
 * The four DC motor channels: open-loop power, PID velocity and position
 * moves, position counters and PID gains.
 *
 * Rules for every function here:
 *  - Ports are motor numbers 0 to 3. A port outside that range sends nothing
 *    to the coprocessor; what the function returns then is stated with it.
 *  - Power and duty are percent; velocities and speeds are the coprocessor's
 *    velocity units as signed 16-bit values (-32768 to 32767); positions are
 *    position-counter ticks, signed 32-bit.
 *  - Nothing is cached: every query is a fresh exchange with the coprocessor,
 *    and no function learns whether an exchange succeeded. With the SPI
 *    device missing or lost every reading is 0.
 *  - Any thread may call these functions; mode and direction changes of
 *    different motors from different threads do not disturb each other.
 *  - No function prints anything (apart from the link's own "Device lost"
 *    line, see kestrix.h).
 * @{ */
#ifndef KESTRIX_MOTORS_H
#define KESTRIX_MOTORS_H

#include "export.h"

KESTRIX_BEGIN_C

/* ---- Open-loop power ---------------------------------------------------- */

/** Drives `port` open loop at `percent` power: mode PWM, duty |percent|
 * (100 or more is full duty), direction forward for a positive value,
 * backward for a negative one and off for 0. */
KESTRIX_API void motor(int port, int percent);

/** Full power forward: motor(port, 100). */
KESTRIX_API void fd(int port);

/** Full power backward: motor(port, -100). */
KESTRIX_API void bk(int port);

/** Actively brakes `port`: mode PWM, full duty, direction brake.
 * Returns 0, also for a bad port. */
KESTRIX_API int freeze(int port);

/** Lets `port` coast: mode PWM, direction off. The duty is left as it was. */
KESTRIX_API void off(int port);

/** off() for motors 0, 1, 2 and 3, in that order. */
KESTRIX_API void alloff(void);

/** Same as alloff(). */
KESTRIX_API void ao(void);

/** Sets the PWM duty of `port` to `duty` percent (mode PWM, direction
 * unchanged). 100 or more is full duty; a negative duty is taken as 0.
 * Always returns -1. */
KESTRIX_API int setpwm(int port, int duty);

/** The duty cannot be read back: returns -1 for every port, sends nothing. */
KESTRIX_API int getpwm(int port);

/* ---- PID moves ---------------------------------------------------------- */

/** @name Velocity */
///@{
/** Holds `port` at `velocity` under the coprocessor's PID loop.
 * Returns 0, or -1 for a bad port. */
KESTRIX_API int move_at_velocity(int port, int velocity);
KESTRIX_API int mav(int port, int velocity);
///@}

/** @name Goal position */
///@{
/** Moves `port` to the absolute position `goal` at |speed|; the direction
 * comes from the current counter (the sign of `speed` is ignored, a |speed|
 * above 32767 is taken as 32767). Returns at once with 0, or -1 for a bad
 * port. Use get_motor_done() or block_motor_done() to learn the end. */
KESTRIX_API int move_to_position(int port, int speed, int goal);
KESTRIX_API int mtp(int port, int speed, int goal);
///@}

/** @name Relative position */
///@{
/** Moves `port` by `distance` ticks from its current counter, as
 * move_to_position(). Returns 0, or -1 for a bad port. */
KESTRIX_API int move_relative_position(int port, int speed, int distance);
KESTRIX_API int mrp(int port, int speed, int distance);
///@}

/** After a 2 ms pause: 1 once the coprocessor reports the PID move of `port`
 * finished, 0 while it runs. -1 for a bad port, at once and without pause. */
KESTRIX_API int get_motor_done(int port);

/** @name Waiting for a move */
///@{
/** Polls get_motor_done() every 2 ms until the move of `port` is finished.
 * Returns at once for a bad port, and after one poll when the SPI device
 * is missing or has been lost (nothing can report done then). Otherwise
 * there is no time limit. */
KESTRIX_API void block_motor_done(int port);
KESTRIX_API void bmd(int port);
///@}

/* ---- Position counters -------------------------------------------------- */

/** @name Position counter */
///@{
/** The signed position counter of `port` in ticks; 0 for a bad port. */
KESTRIX_API int get_motor_position_counter(int port);
KESTRIX_API int gmpc(int port);
///@}

/** @name Clearing the counter */
///@{
/** Sets the position counter of `port` to 0. */
KESTRIX_API void clear_motor_position_counter(int port);
KESTRIX_API void cmpc(int port);
///@}

/* ---- PID gains ---------------------------------------------------------- */

/** Sets the six gains of `port`: each gain is numerator / divisor.
 * Motor 3's D divisor shares a byte with motor 0's goal position on the
 * coprocessor: set motor 3's gains before giving motor 0 a goal. */
KESTRIX_API void set_pid_gains(int port, short p, short i, short d,
                               short pd, short id, short dd);

/** The gains cannot be read back: all six outputs are left as they are.
 * Null pointers are allowed. */
KESTRIX_API void get_pid_gains(int port, short *p, short *i, short *d,
                               short *pd, short *id, short *dd);

KESTRIX_END_C

/** @} */

#endif
