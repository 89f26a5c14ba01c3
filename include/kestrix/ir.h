/** @file
 * @addtogroup ir Infrared
 * The infrared calls. Infrared is no longer supported: each call only prints
 * a line that says so on standard output.
 * @{ */
#ifndef KESTRIX_IR_H
#define KESTRIX_IR_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Infrared calls */
///@{
/** No longer supported: prints one line that says so on standard output and
 * sends nothing. */
KESTRIX_API void ir_read(void);
KESTRIX_API void ir_write(void);
///@}

KESTRIX_END_C

/** @} */

#endif
