#include "clock/console_watch.h"

#include "fakes/fake_device.h"

#include <poll.h>
#include <time.h>

namespace kxsim {

// Under the clock's lock: the C library's own poll and sleep, not ours.
void ConsoleWatch::beforeMove()
{
    if (m_fd < 0)
        return;
    static const auto s_poll = nextFunction<int (*)(pollfd *, nfds_t, int)>("poll");
    static const auto s_sleep = nextFunction<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    const std::int64_t since = realNs(CLOCK_MONOTONIC);
    for (;;) {
        // A poll of the terminal first hands on what is still on its way in
        // the kernel, so an empty answer means the launcher has read it all.
        pollfd unread{m_fd, POLLIN, 0};
        if (s_poll(&unread, 1, 0) <= 0)
            break;
        if (unread.revents & (POLLNVAL | POLLERR) || realNs(CLOCK_MONOTONIC) - since > PatienceNs) {
            m_fd = -1;
            break;
        }
        if (!(unread.revents & POLLIN))
            break;
        const timespec pause{0, 20000};
        s_sleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
}

void ConsoleWatch::moved(std::int64_t ns)
{
    // Another process of the run (a wrapper that started the program and
    // waits for it) may move a clock of its own behind ours.
    const std::int64_t us = ns / 1000 - m_originUs;
    std::int64_t seen = m_clockUs->load();
    while (us > seen && !m_clockUs->compare_exchange_weak(seen, us)) {
    }
}

} // namespace kxsim
