/** @file
 * @addtogroup firmware Firmware version
 * The coprocessor's firmware version.
 * @{ */
#ifndef KESTRIX_FIRMWARE_H
#define KESTRIX_FIRMWARE_H

#include "export.h"

KESTRIX_BEGIN_C

/** The version of the coprocessor's firmware, or -1 when it is unknown.
 * No register of the coprocessor's map carries a version, so this is always
 * -1 and sends nothing over the link. */
KESTRIX_API int get_robot_firmware_version(void);

KESTRIX_END_C

/** @} */

#endif
