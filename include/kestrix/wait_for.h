/** @file
 * @addtogroup wait_for Waits
 * Blocking waits. Each looks at its condition first and returns at once when
 * it already holds; otherwise it looks again every 10 ms. There is no
 * time-out: a wait ends only when its condition holds. Only the calling
 * thread blocks.
 * @{ */
#ifndef KESTRIX_WAIT_FOR_H
#define KESTRIX_WAIT_FOR_H

#include "export.h"

KESTRIX_BEGIN_C

/** Sleeps `msecs` milliseconds (msleep); 0 or less returns at once. */
KESTRIX_API void wait_for_milliseconds(long msecs);

/** Until digital(port) is non-zero (a touch sensor on digital port `port`). */
KESTRIX_API void wait_for_touch(int port);

/** @name Waiting for a press */
///@{
/** Until the button is pressed. */
KESTRIX_API void wait_for_a_button(void);
KESTRIX_API void wait_for_b_button(void);
KESTRIX_API void wait_for_c_button(void);
KESTRIX_API void wait_for_x_button(void);
KESTRIX_API void wait_for_y_button(void);
KESTRIX_API void wait_for_z_button(void);
KESTRIX_API void wait_for_side_button(void);
KESTRIX_API void wait_for_any_button(void);
///@}

/** @name Waiting for a click */
///@{
/** Until the button has been pressed and released. */
KESTRIX_API void wait_for_a_button_clicked(void);
KESTRIX_API void wait_for_b_button_clicked(void);
KESTRIX_API void wait_for_c_button_clicked(void);
KESTRIX_API void wait_for_x_button_clicked(void);
KESTRIX_API void wait_for_y_button_clicked(void);
KESTRIX_API void wait_for_z_button_clicked(void);
KESTRIX_API void wait_for_side_button_clicked(void);
///@}

KESTRIX_END_C

/** @} */

#endif
