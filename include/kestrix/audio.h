/** @file
 * @addtogroup audio Sound
 * The terminal bell.
 * @{ */
#ifndef KESTRIX_AUDIO_H
#define KESTRIX_AUDIO_H

#include "export.h"

KESTRIX_BEGIN_C

/** Writes one BEL byte (7) to standard output without flushing it: it leaves
 * with the next flush of standard output. */
KESTRIX_API void beep(void);

KESTRIX_END_C

/** @} */

#endif
