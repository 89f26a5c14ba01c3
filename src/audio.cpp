#include "kestrix/audio.h"

#include <cstdio>

void beep(void)
{
    std::putchar(7);
}
