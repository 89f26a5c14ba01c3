/* The accelerometer: raw signed readings, one exchange per axis. */
#ifndef KESTRIX_ACCEL_H
#define KESTRIX_ACCEL_H

#include "export.h"

KESTRIX_BEGIN_C

KESTRIX_API short accel_x(void);
KESTRIX_API short accel_y(void);
KESTRIX_API short accel_z(void);

KESTRIX_END_C

#endif
