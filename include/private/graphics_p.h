#ifndef KESTRIX_PRIVATE_GRAPHICS_H
#define KESTRIX_PRIVATE_GRAPHICS_H

#include "kestrix/export.h"

#include <stdint.h>

// The frame that graphics_update showed last, for the simulator and tests.
// Exported with C linkage so that a preloaded simulator can find it with
// dlsym; not part of the public headers.
//
// Copies up to `capacity` pixels (0x00RRGGBB, row by row) into `pixels`
// (which may be null when `capacity` is 0) and stores the frame's size in
// `width` and `height` (either may be null). Returns the number of updates
// shown since the process began (0: nothing shown yet, size 0 x 0).
KESTRIX_BEGIN_C
KESTRIX_API unsigned long kestrix_graphics_last_frame(uint32_t *pixels, unsigned long capacity,
                                                      int *width, int *height);
KESTRIX_END_C

#endif
