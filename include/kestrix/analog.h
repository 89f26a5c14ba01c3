/** @file
 * @addtogroup analog Analog inputs
 * The six analog inputs, numbered 0 to 5, with 12-bit conversion results.
 *
 * Port numbers are not range-checked: only the low 8 bits of the number are
 * used. A port above 5 reads whatever the coprocessor holds at the place its
 * result would be, or 0 where that lies beyond what the coprocessor reports;
 * a port of 8 or more has no pull-up bit, so the pull-up setter changes
 * nothing and the getter returns 0.
 *
 * A reading first sets the port's pull-up (on for analog, analog8, analog10
 * and analog12, off for analog_et), every time, and leaves it so: three
 * exchanges with the coprocessor per reading. Concurrent readings of
 * different ports do not lose each other's pull-up setting.
 * @{ */
#ifndef KESTRIX_ANALOG_H
#define KESTRIX_ANALOG_H

#include "export.h"

KESTRIX_BEGIN_C

/** The conversion result with the pull-up on, 0 to 4095. Same as analog12. */
KESTRIX_API int analog(int port);

/** analog() scaled to 8 bits, 0 to 255 (the low 4 bits dropped). */
KESTRIX_API int analog8(int port);

/** analog() scaled to 10 bits, 0 to 1023 (the low 2 bits dropped). */
KESTRIX_API int analog10(int port);

/** Switches the pull-up on, then reads the conversion result, 0 to 4095. */
KESTRIX_API int analog12(int port);

/** Switches the pull-up off, then reads the conversion result, 0 to 4095:
 * for sensors that drive their output themselves. */
KESTRIX_API int analog_et(int port);

/** Switches the port's pull-up on (non-zero) or off (0): two exchanges. */
KESTRIX_API void set_analog_pullup(int port, int pullup);

/** 1 while the port's pull-up is on, else 0. */
KESTRIX_API int get_analog_pullup(int port);

KESTRIX_END_C

/** @} */

#endif
