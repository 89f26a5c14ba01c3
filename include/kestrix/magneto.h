/* The magnetometer: raw signed readings, one exchange per axis. */
#ifndef KESTRIX_MAGNETO_H
#define KESTRIX_MAGNETO_H

#include "export.h"

KESTRIX_BEGIN_C

KESTRIX_API short magneto_x(void);
KESTRIX_API short magneto_y(void);
KESTRIX_API short magneto_z(void);

/* Nothing needs calibrating: returns 0 and sends nothing. */
KESTRIX_API int magneto_calibrate(void);

KESTRIX_END_C

#endif
