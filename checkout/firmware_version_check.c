/* The coprocessor's firmware version, ten times a second apart. */
#include <stdio.h>

#include <kestrix/firmware.h>
#include <kestrix/util.h>

int main(void)
{
    int i;

    for (i = 0; i < 10; ++i) {
        printf("%d\n", get_robot_firmware_version());
        msleep(1000);
    }
    return 0;
}
