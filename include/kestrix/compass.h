/** @file
 * @addtogroup compass Compass
 * The compass: a heading from the magnetometer, corrected for the robot's own
 * magnetism.
 *
 * The heading is in degrees, 0 up to (not including) 360. It is 0 when the
 * horizontal field points along the magnetometer's +X axis and grows as the
 * field turns from +X towards +Y. The robot is assumed level: the Z axis takes
 * no part in the heading.
 *
 * Before the heading is taken, the raw X and Y readings are corrected:
 *   - hard iron: the means (meanX, meanY) are subtracted;
 *   - soft iron: the readings, seen along the ellipse's major axis (W1, W2)
 *     and along its minor axis, are divided by div_E1 and div_E2 to turn the
 *     ellipse back into a circle.
 * Until the first calibration or set_compass_params, the means are 0, the
 * major axis is +X and both divisors are 1 (the plain magnetometer angle).
 *
 * All three functions are safe to call from several threads.
 * @{ */
#ifndef KESTRIX_COMPASS_H
#define KESTRIX_COMPASS_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Calibration timing */
///@{
/** Number of magnetometer readings a calibration takes, and the pause before
 * each (msleep): a calibration lasts 200 x 50 ms = 10 seconds. */
#define KESTRIX_COMPASS_CALIBRATION_SAMPLES 200
#define KESTRIX_COMPASS_CALIBRATION_PERIOD_MS 50
///@}

/** Takes KESTRIX_COMPASS_CALIBRATION_SAMPLES readings of the three axes while
 * the robot turns through at least one full circle on level ground, fits an
 * ellipse to the X/Y readings and sets all seven parameters from it.
 * Returns 0 on success. Returns -1 and keeps the previous parameters when the
 * readings do not trace an ellipse around the centre (the robot did not turn
 * far enough, or no magnetometer answers). */
KESTRIX_API int calibrate_compass(void);

/** The corrected heading in degrees, [0, 360), from one reading of X and one
 * of Y (two exchanges with the coprocessor). */
KESTRIX_API float get_compass_angle(void);

/** Sets the correction directly, for a robot calibrated before.
 * meanX, meanY, meanZ: hard-iron offsets in raw magnetometer units;
 * W1, W2: direction of the ellipse's major axis (any length; it is
 *         normalised; (0, 0) or a non-finite value means +X);
 * div_E1, div_E2: divisors along the major and minor axis (a value that is
 *         not finite and positive counts as 1).
 * A non-finite mean counts as 0. */
KESTRIX_API void set_compass_params(float meanX, float meanY, float meanZ, float W1, float W2,
                                    float div_E1, float div_E2);

KESTRIX_END_C

/** @} */

#endif
