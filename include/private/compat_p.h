#ifndef KESTRIX_PRIVATE_COMPAT_H
#define KESTRIX_PRIVATE_COMPAT_H

// The only places that call the operating system's sleep and yield.
namespace compat {

// usleep with the count narrowed to useconds_t; callers pass at most 999999.
// Returns 0, or non-zero with errno set.
int microsleep(unsigned long us);

// Gives up the processor once (sched_yield).
int yield();

} // namespace compat

#endif
