/** @file
 * @addtogroup gyro Gyroscope
 * The gyroscope: raw signed readings, one exchange per axis.
 * @{ */
#ifndef KESTRIX_GYRO_H
#define KESTRIX_GYRO_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Readings */
///@{
/** The gyroscope's raw 16-bit register of one axis (x, y, z) as a signed
 * value, -32768 to 32767 (0xFF38 reads as -200): one exchange per call, so
 * the three axes may come from different samples. 0 with the SPI device
 * missing. The scale is the sensor's: the simulated controller reads 16
 * counts per degree a second, z the yaw (counter-clockwise seen from above
 * positive). */
KESTRIX_API short gyro_x(void);
KESTRIX_API short gyro_y(void);
KESTRIX_API short gyro_z(void);
///@}

KESTRIX_END_C

/** @} */

#endif
