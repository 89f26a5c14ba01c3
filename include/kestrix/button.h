/** @file
 * @addtogroup button Buttons
 * The controller's buttons: six labelled buttons (A, B, C, X, Y, Z) and the
 * side button. On the controller they are read from a Linux input device
 * (keys A, B, C, X, Y, Z and Esc for the side button); with no input device
 * every button reads released. Results are 0 or 1.
 * @{ */
#ifndef KESTRIX_BUTTON_H
#define KESTRIX_BUTTON_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Labels */
///@{
/** Labels. The text is copied; a null text sets the empty label. */
KESTRIX_API void set_a_button_text(const char *text);
KESTRIX_API void set_b_button_text(const char *text);
KESTRIX_API void set_c_button_text(const char *text);
KESTRIX_API void set_x_button_text(const char *text);
KESTRIX_API void set_y_button_text(const char *text);
KESTRIX_API void set_z_button_text(const char *text);
///@}

/** @name Pressed state */
///@{
/** Pressed state: 1 while the button is held down, else 0. Never blocks. */
KESTRIX_API int a_button(void);
KESTRIX_API int b_button(void);
KESTRIX_API int c_button(void);
KESTRIX_API int x_button(void);
KESTRIX_API int y_button(void);
KESTRIX_API int z_button(void);
KESTRIX_API int side_button(void);
///@}
/** Another name for side_button(). */
KESTRIX_API int black_button(void);

/** @name Clicks */
///@{
/** Clicks: 1 if the button is pressed, and then returns only once it has
 * been released (one press, one click); 0 at once when it is not pressed. */
KESTRIX_API int a_button_clicked(void);
KESTRIX_API int b_button_clicked(void);
KESTRIX_API int c_button_clicked(void);
KESTRIX_API int x_button_clicked(void);
KESTRIX_API int y_button_clicked(void);
KESTRIX_API int z_button_clicked(void);
KESTRIX_API int side_button_clicked(void);
///@}

/** 1 if any of the seven buttons is pressed, else 0. */
KESTRIX_API int any_button(void);

/** @name Extra buttons */
///@{
/** The extra buttons (X, Y, Z): hidden at start. Any non-zero value shows. */
KESTRIX_API void extra_buttons_show(void);
KESTRIX_API void extra_buttons_hide(void);
KESTRIX_API void set_extra_buttons_visible(int visible);
KESTRIX_API int get_extra_buttons_visible(void);
///@}

KESTRIX_END_C

/** @} */

#endif
