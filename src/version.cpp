#include "kestrix/version.h"

const char *kestrix_version(void)
{
    // Taken from the header the library itself was built with, so a program
    // can tell a library swapped under it from the headers it was built with.
    return KESTRIX_VERSION_STRING;
}
