/** @file
 * @addtogroup battery Battery
 * The battery, read from the Linux power-supply class.
 * @{ */
#ifndef KESTRIX_BATTERY_H
#define KESTRIX_BATTERY_H

#include "export.h"

KESTRIX_BEGIN_C

/** 1 while the battery is charging, else 0 (also with no battery). */
KESTRIX_API int battery_charging(void);

/** The battery voltage in volts; NaN when the controller has no battery. */
KESTRIX_API float power_level(void);

KESTRIX_END_C

/** @} */

#endif
