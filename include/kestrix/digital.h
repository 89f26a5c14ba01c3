/** @file
 * @addtogroup digital Digital pins
 * The sixteen digital pins, numbered 0 to 15.
 *
 * Pin numbers are not range-checked: only the low 8 bits of the number are
 * used (256 is pin 0), and a pin of 16 to 255 has no bit, so it reads 0 and
 * its setters change nothing. Truth values given may be any non-zero value;
 * those returned are 0 or 1.
 *
 * Every reading is one exchange with the coprocessor. Every setter reads the
 * register shared by all pins and writes it back with the one bit changed
 * (two exchanges); concurrent setters on different pins do not lose each
 * other's change. When that read fails nothing is written, so the other
 * pins keep their settings (and the change is lost).
 * @{ */
#ifndef KESTRIX_DIGITAL_H
#define KESTRIX_DIGITAL_H

#include "export.h"

KESTRIX_BEGIN_C

/** Touch reading: 1 while the pin reports level 0, else 0; the inverse of
 * get_digital_value. wait_for_touch polls it. */
KESTRIX_API int digital(int port);

/** The level the coprocessor reports for the pin: 1 high, 0 low. */
KESTRIX_API int get_digital_value(int port);

/** Sets the pin's output bit: 1 for a non-zero value, else 0. */
KESTRIX_API void set_digital_value(int port, int value);

/** 1 while the pin is an output, 0 while it is an input. */
KESTRIX_API int get_digital_output(int port);

/** Makes the pin an output (non-zero) or an input (0). */
KESTRIX_API void set_digital_output(int port, int output);

/** 1 while the pin's pull-up is on, else 0. */
KESTRIX_API int get_digital_pullup(int port);

/** Switches the pin's pull-up on (non-zero) or off (0). */
KESTRIX_API void set_digital_pullup(int port, int pullup);

KESTRIX_END_C

/** @} */

#endif
