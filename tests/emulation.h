// The cross build runs its tests under a user-mode emulator, where a
// program's real-time behaviour tells nothing about the board: tests that
// compare real and simulated time leave that part out there, and where
// their real-time figures are tight, under the sanitizers too.
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

// Under a sanitizer every wake-up is late too, if less so.
inline bool sanitized()
{
#ifdef KESTRIX_TESTS_SANITIZED
    return true;
#else
    return false;
#endif
}

#endif
