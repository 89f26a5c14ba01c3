/* The bell, three times a second apart. */
#include <stdio.h>

#include <kestrix/audio.h>
#include <kestrix/util.h>

int main(void)
{
    int i;

    for (i = 0; i < 3; ++i) {
        printf("beep!");
        beep();
        msleep(1000);
    }
    return 0;
}
