#include "kestrix/firmware.h"

int get_robot_firmware_version(void)
{
    // The register map has no version register; guessing one from other
    // registers would report a number that means nothing.
    return -1;
}
