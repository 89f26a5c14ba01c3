/** @file
 * @addtogroup graphics Graphics window
 * A graphics window: one raster in memory that a program draws into and then
 * shows with graphics_update.
 *
 * Coordinates are pixels: column x from 0 at the left, row y from 0 at the
 * top. Colours are three components, red, green and blue, each 0 to 255 (a
 * component outside that range is clamped). Drawing is clipped to the window:
 * whatever falls outside it is dropped, nothing is written outside the raster.
 *
 * graphics_update copies the raster to the Linux framebuffer /dev/fb0 when the
 * controller has one (16 or 32 bits per pixel; the window sits at its top-left
 * corner, clipped to the screen). Without a framebuffer the window lives in
 * memory only.
 *
 * Drawing calls before graphics_open or after graphics_close do nothing. All
 * calls are safe from several threads; a frame is drawn whole by one thread
 * only if the program keeps the others out.
 * @{ */
#ifndef KESTRIX_GRAPHICS_H
#define KESTRIX_GRAPHICS_H

#include "export.h"

KESTRIX_BEGIN_C

/** Opens a window of width x height pixels (each 1 to 4096), all black, and
 * the framebuffer if there is one. A window already open is replaced.
 * Returns 0, or -1 for a size out of range (a window already open is then
 * left as it was). */
KESTRIX_API int graphics_open(int width, int height);

/** Paints the whole window black. */
KESTRIX_API void graphics_clear(void);

/** Fills the disc of pixels whose distance from (x, y) is at most `radius`
 * with colour (r, g, b). A radius of 0 sets one pixel; a negative radius
 * draws nothing. */
KESTRIX_API void graphics_circle_fill(int x, int y, int radius, int r, int g, int b);

/** Shows what was drawn since the last update. */
KESTRIX_API void graphics_update(void);

/** Closes the window and the framebuffer. What the screen shows stays there. */
KESTRIX_API void graphics_close(void);

KESTRIX_END_C

/** @} */

#endif
