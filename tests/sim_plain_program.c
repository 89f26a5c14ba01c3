/* A program that ends at once with status 4, built in ways the simulator
 * cannot start in: statically linked, for the board's processor, or against
 * libkestrix without a way to find it at run time (KESTRIX_NEEDS_LIBRARY). */
#ifdef KESTRIX_NEEDS_LIBRARY
#include <kestrix/util.h>
#endif

int main(void)
{
#ifdef KESTRIX_NEEDS_LIBRARY
    return seconds() >= 0 ? 4 : 5;
#else
    return 4;
#endif
}
