/** @file
 * @addtogroup magneto Magnetometer
 * The magnetometer: raw signed readings, one exchange per axis.
 * @{ */
#ifndef KESTRIX_MAGNETO_H
#define KESTRIX_MAGNETO_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Readings */
///@{
/** The magnetometer's raw 16-bit register of one axis (x, y, z) as a signed
 * value, -32768 to 32767 (0xFF38 reads as -200): one exchange per call, so
 * the three axes may come from different samples. 0 with the SPI device
 * missing. The scale is the sensor's: on the simulated controller the
 * earth's horizontal field reads 300 counts and its vertical field -400. */
KESTRIX_API short magneto_x(void);
KESTRIX_API short magneto_y(void);
KESTRIX_API short magneto_z(void);
///@}

/** Nothing needs calibrating: returns 0 and sends nothing. */
KESTRIX_API int magneto_calibrate(void);

KESTRIX_END_C

/** @} */

#endif
