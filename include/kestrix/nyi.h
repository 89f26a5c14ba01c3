/** @file
 * @addtogroup nyi Not yet implemented
 * A warning for calls that are not implemented yet.
 * @{ */
#ifndef KESTRIX_NYI_H
#define KESTRIX_NYI_H

#include "export.h"

KESTRIX_BEGIN_C

/** Prints "Warning: <name> not yet implemented." and a newline on standard
 * output and flushes it. A null name prints "(null)" in its place. */
KESTRIX_API void nyi(const char *name);

KESTRIX_END_C

/** @} */

#endif
