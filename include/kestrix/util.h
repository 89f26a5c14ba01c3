/** @file
 * @addtogroup util Time and sleep
 * Time and sleep.
 * @{ */
#ifndef KESTRIX_UTIL_H
#define KESTRIX_UTIL_H

#include "export.h"

KESTRIX_BEGIN_C

/** Sleeps the calling thread for `msecs` milliseconds. A count of 0 or less
 * returns at once. A sleep interrupted by a signal prints "usleep: " and the
 * system's text on standard error and ends early. */
KESTRIX_API void msleep(long msecs);

/** Milliseconds since the Unix epoch (1970-01-01 00:00 UTC), sub-millisecond
 * part truncated. `unsigned long` is 32 bits on the board, where this value
 * wraps; use seconds() for an absolute time there. */
KESTRIX_API unsigned long systime(void);

/** Seconds since the Unix epoch with millisecond resolution, computed from
 * the 64-bit clock on every architecture. */
KESTRIX_API double seconds(void);

KESTRIX_END_C

/** @} */

#endif
