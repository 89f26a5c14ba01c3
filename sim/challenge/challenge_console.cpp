// The program's console under a challenge: a pseudo-terminal in raw mode, so
// that the C library and Python write line by line as to a screen and each
// line comes with the simulated time it was written at: the program's clock
// does not move on until we have read it (clock/console_watch.h).
#include "challenge/challenge_run.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace kxsim {

namespace {

// The console kept for the rules and the report; beyond it the output is
// echoed but no longer kept. A line longer than MaxLine is cut in pieces.
constexpr std::size_t MaxKept = 1 << 20;
constexpr std::size_t MaxLine = 4096;

} // namespace

ChallengeConsole::~ChallengeConsole()
{
    stop();
    if (launcher_ >= 0)
        ::close(launcher_);
    closeProgramOutput();
}

bool ChallengeConsole::open(std::string &error)
{
    launcher_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (launcher_ < 0 || ::grantpt(launcher_) != 0 || ::unlockpt(launcher_) != 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    const char *name = ::ptsname(launcher_);
    program_ = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios raw{};
    if (program_ < 0 || ::tcgetattr(program_, &raw) != 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(program_, TCSANOW, &raw);
    watch_ = ::fcntl(launcher_, F_DUPFD_CLOEXEC, 3);
    if (watch_ < 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int ChallengeConsole::inheritWatch()
{
    if (watch_ >= 0)
        ::fcntl(watch_, F_SETFD, 0);
    return watch_;
}

void ChallengeConsole::closeProgramOutput()
{
    for (int *fd : {&program_, &watch_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ChallengeConsole::start(const SimStatus &status)
{
    pump_ = std::thread(&ChallengeConsole::pump, this, &status);
}

void ChallengeConsole::stop()
{
    ended_ = true;
    if (pump_.joinable())
        pump_.join();
    std::lock_guard<std::mutex> hold(lock_);
    if (!partial_.empty())
        lines_.push_back({lines_.empty() ? 0 : lines_.back().time, partial_});
    partial_.clear();
}

void ChallengeConsole::take(const char *bytes, std::size_t count, double seconds)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t n = 0; n < count && kept_ < MaxKept; ++n, ++kept_) {
        const char c = bytes[n];
        if (c == '\n' || partial_.size() >= MaxLine) {
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            lines_.push_back({seconds, partial_});
            partial_.clear();
            if (c == '\n')
                continue;
        }
        partial_ += c;
    }
}

// Until every process of the run has let go of the terminal (a read then
// fails), or shortly after the end when one that outlives the program's
// own end still holds it.
void ChallengeConsole::pump(const SimStatus *status)
{
    using Clock = std::chrono::steady_clock;
    char buffer[4096];
    Clock::time_point endedAt{};
    for (;;) {
        pollfd ready{launcher_, POLLIN, 0};
        if (::poll(&ready, 1, 20) > 0) {
            // Taken before the read: the program's clock cannot move on
            // while what we are about to read is there. Without a virtual
            // clock, the time of the last exchange.
            const std::int64_t us = std::max(status->clockUs.load(), status->simulatedUs.load());
            const ssize_t got = ::read(launcher_, buffer, sizeof buffer);
            if (got > 0) {
                std::fwrite(buffer, 1, std::size_t(got), stdout);
                std::fflush(stdout);
                take(buffer, std::size_t(got), double(us) / 1e6);
                continue;
            }
            if (got == 0 || errno != EINTR)
                return;
        }
        if (ended_) {
            if (endedAt == Clock::time_point{})
                endedAt = Clock::now();
            else if (Clock::now() - endedAt > std::chrono::milliseconds(300))
                return;
        }
    }
}

} // namespace kxsim
