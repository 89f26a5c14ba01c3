// Under a challenge the program's standard output is a terminal whose other
// side the launcher reads, giving each line the program's time at which it
// came. For that time to be the one the line was written at, the clock does
// not move on while the launcher has not yet read everything the program
// wrote, and it tells the launcher each time it moves.
#ifndef KESTRIX_SIM_CONSOLE_WATCH_H
#define KESTRIX_SIM_CONSOLE_WATCH_H

#include "clock/fake_clock.h"

#include <atomic>
#include <cstdint>

namespace kxsim {

class ConsoleWatch : public Clock::Watcher
{
public:
    // `launcherSide`: our copy of the terminal's side the launcher reads;
    // `clockUs`: where the launcher finds the time, in microseconds from
    // `originUs` on the program's clock.
    ConsoleWatch(int launcherSide, std::atomic<std::int64_t> *clockUs, std::int64_t originUs)
        : m_fd(launcherSide), m_clockUs(clockUs), m_originUs(originUs)
    {
    }

    void beforeMove() override;
    void moved(std::int64_t ns) override;

    // The launcher takes this long at most to read what is there; beyond it
    // (it has stopped reading) the clock stops waiting for it.
    static constexpr std::int64_t PatienceNs = 1000000000;

private:
    int m_fd;
    std::atomic<std::int64_t> *m_clockUs;
    std::int64_t m_originUs;
};

} // namespace kxsim

#endif
