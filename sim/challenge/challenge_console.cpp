// The program's console under a challenge: a pseudo-terminal in raw mode, so
// that the C library and Python write line by line as to a screen and each
// line comes with the simulated time it was written at: the program's clock
// does not move on until we have read it (preload/console_watch.h).
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

bool ChallengeRun::openConsole(std::string &error)
{
    consoleLauncher_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (consoleLauncher_ < 0 || ::grantpt(consoleLauncher_) != 0 || ::unlockpt(consoleLauncher_) != 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    const char *name = ::ptsname(consoleLauncher_);
    consoleProgram_ = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios raw{};
    if (consoleProgram_ < 0 || ::tcgetattr(consoleProgram_, &raw) != 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(consoleProgram_, TCSANOW, &raw);
    consoleWatch_ = ::fcntl(consoleLauncher_, F_DUPFD, 3);
    if (consoleWatch_ < 0) {
        error = std::string("cannot make the program's console: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void ChallengeRun::closeProgramOutput()
{
    for (int *fd : {&consoleProgram_, &consoleWatch_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ChallengeRun::startConsole(const SimStatus &status)
{
    pump_ = std::thread(&ChallengeRun::pump, this, &status);
}

void ChallengeRun::stopConsole()
{
    ended_ = true;
    if (pump_.joinable())
        pump_.join();
    std::lock_guard<std::mutex> hold(lock_);
    if (!partial_.empty())
        console_.push_back({console_.empty() ? 0 : console_.back().time, partial_});
    partial_.clear();
}

void ChallengeRun::take(const char *bytes, std::size_t count, double seconds)
{
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t n = 0; n < count && kept_ < MaxKept; ++n, ++kept_) {
        const char c = bytes[n];
        if (c == '\n' || partial_.size() >= MaxLine) {
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            console_.push_back({seconds, partial_});
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
void ChallengeRun::pump(const SimStatus *status)
{
    using Clock = std::chrono::steady_clock;
    char buffer[4096];
    Clock::time_point endedAt{};
    for (;;) {
        pollfd ready{consoleLauncher_, POLLIN, 0};
        if (::poll(&ready, 1, 20) > 0) {
            // Taken before the read: the program's clock cannot move on
            // while what we are about to read is there. Without a virtual
            // clock, the time of the last exchange.
            const std::int64_t us = std::max(status->clockUs.load(), status->simulatedUs.load());
            const ssize_t got = ::read(consoleLauncher_, buffer, sizeof buffer);
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
