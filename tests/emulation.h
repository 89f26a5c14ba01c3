// The cross build runs its tests under a user-mode emulator, where a
// program's real-time behaviour tells nothing about the board: tests that
// compare real and simulated time leave that part out there.
#ifndef KESTRIX_TESTS_EMULATION_H
#define KESTRIX_TESTS_EMULATION_H

inline bool underEmulation()
{
#ifdef KESTRIX_TESTS_UNDER_EMULATION
    return true;
#else
    return false;
#endif
}

#endif
