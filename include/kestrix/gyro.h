/* The gyroscope: raw signed readings, one exchange per axis. */
#ifndef KESTRIX_GYRO_H
#define KESTRIX_GYRO_H

#include "export.h"

KESTRIX_BEGIN_C

KESTRIX_API short gyro_x(void);
KESTRIX_API short gyro_y(void);
KESTRIX_API short gyro_z(void);

KESTRIX_END_C

#endif
