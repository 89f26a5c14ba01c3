#include "private/compat_p.h"

#include <sched.h>
#include <unistd.h>

namespace compat {

int microsleep(unsigned long us)
{
    return ::usleep(static_cast<useconds_t>(us));
}

int yield()
{
    return ::sched_yield();
}

} // namespace compat
