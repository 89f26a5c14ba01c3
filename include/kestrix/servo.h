/** @file
 * @addtogroup servo Servos
 * The four hobby-servo ports, numbered 0 to 3.
 *
 * Positions run from 0 to 1023 across the servo's travel, 512 near the
 * centre; they are sent as pulse widths of 600 to 2400 microseconds. A
 * position read back is the one last set, or one less (both conversions
 * truncate).
 *
 * A port outside 0 to 3 is refused before anything is sent: setters do
 * nothing, get_servo_enabled returns 0 and get_servo_position 65535.
 * Enabling and disabling reads the register shared by the four ports and
 * writes it only when the port's bit must change; concurrent callers on
 * different ports do not lose each other's change.
 * @{ */
#ifndef KESTRIX_SERVO_H
#define KESTRIX_SERVO_H

#include "export.h"

KESTRIX_BEGIN_C

/** Starts the port's pulses. */
KESTRIX_API void enable_servo(int port);

/** Stops the port's pulses; the commanded position is kept. */
KESTRIX_API void disable_servo(int port);

/** enable_servo for ports 0, 1, 2 and 3, in that order. */
KESTRIX_API void enable_servos(void);

/** disable_servo for ports 0, 1, 2 and 3, in that order. */
KESTRIX_API void disable_servos(void);

/** Enables (non-zero) or disables (0) the port. */
KESTRIX_API void set_servo_enabled(int port, int enabled);

/** 1 while the port is enabled, else 0 (also for a refused port). */
KESTRIX_API int get_servo_enabled(int port);

/** Commands a position, 0 to 1023. The position is taken modulo 65536 and
 * then clamped to 1023: -1 becomes 65535 and so 1023, 65536 becomes 0.
 * Does not enable the port. */
KESTRIX_API void set_servo_position(int port, int position);

/** The commanded position, 0 to 1023; 65535 for a refused port. */
KESTRIX_API int get_servo_position(int port);

KESTRIX_END_C

/** @} */

#endif
