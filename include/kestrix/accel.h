/** @file
 * @addtogroup accel Accelerometer
 * The accelerometer: raw signed readings, one exchange per axis.
 * @{ */
#ifndef KESTRIX_ACCEL_H
#define KESTRIX_ACCEL_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Readings */
///@{
/** The accelerometer's raw 16-bit register of one axis (x, y, z) as a signed
 * value, -32768 to 32767 (0xFF38 reads as -200): one exchange per call, so
 * the three axes may come from different samples. 0 with the SPI device
 * missing. The scale is the sensor's: the simulated controller reads 1000
 * counts per g, x forward, y left, z up (gravity: z about 1000 at rest). */
KESTRIX_API short accel_x(void);
KESTRIX_API short accel_y(void);
KESTRIX_API short accel_z(void);
///@}

KESTRIX_END_C

/** @} */

#endif
