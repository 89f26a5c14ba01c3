#include "preload/base_line.h"

#include "fakes/fake_device.h"
#include "fakes/fake_serial.h"
#include "preload/simulation.h"
#include "world/mobile_base.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

using PollFn = int (*)(pollfd *, nfds_t, int);
using ReadFn = ssize_t (*)(int, void *, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);

// A pseudo-terminal hands bytes on a moment after the write, so each hand-over
// is awaited; a healthy machine needs microseconds, this only bounds a stall.
constexpr int HandOverMs = 200;
std::mutex s_baseLock;
// The terminal side of the line: every descriptor of /dev/ttyUSB0 the
// program holds is this device.
std::atomic<dev_t> s_lineDevice{0};
BaseProtocol *s_base = nullptr;
int s_baseEnd = -1;

PollFn realPoll()
{
    static const PollFn s_fn = nextFunction<PollFn>("poll");
    return s_fn;
}

WriteFn realWrite()
{
    static const WriteFn s_fn = nextFunction<WriteFn>("write");
    return s_fn;
}

bool isLine(int fd)
{
    const dev_t line = s_lineDevice.load(std::memory_order_relaxed);
    struct stat info{};
    return line != 0 && ::fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == line;
}

bool waitReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return realPoll()(&p, 1, HandOverMs) > 0 && (p.revents & POLLIN);
}

// The program wrote `count` bytes to the base: the base takes them and
// answers before the write returns, so that at --speed max the answer is
// there before the program starts waiting for it.
void serveWrite(int line, std::size_t count)
{
    static const ReadFn s_read = nextFunction<ReadFn>("read");
    std::lock_guard<std::mutex> guard(s_baseLock);
    if (s_base == nullptr)
        return;
    std::vector<std::uint8_t> answer;
    std::uint8_t buffer[256];
    for (std::size_t taken = 0; taken < count;) {
        if (!waitReadable(s_baseEnd))
            break;
        const ssize_t n = s_read(s_baseEnd, buffer, std::min(sizeof buffer, count - taken));
        if (n <= 0)
            break;
        taken += std::size_t(n);
        const std::vector<std::uint8_t> part = s_base->receive(buffer, std::size_t(n));
        answer.insert(answer.end(), part.begin(), part.end());
    }
    for (std::size_t done = 0; done < answer.size();) {
        const ssize_t written = realWrite()(s_baseEnd, answer.data() + done, answer.size() - done);
        if (written < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (written <= 0)
            return;
        done += std::size_t(written);
    }
    if (!answer.empty())
        waitReadable(line);
}

} // namespace

void plugInBase()
{
    std::lock_guard<std::mutex> guard(s_baseLock);
    if (s_base != nullptr)
        return;
    s_baseEnd = FakeSerial::instance().plug();
    if (s_baseEnd < 0)
        return;
    s_base = new BaseProtocol(
        [] {
            BaseProtocol::Motion motion;
            Simulation::instance().withPhysics([&](Physics &physics) {
                motion.travelledMetres = physics.travelledMetres();
                motion.turnedDegrees = physics.turnedDegrees();
                motion.bumped = physics.bumped();
            });
            return motion;
        },
        [](double left, double right) {
            Simulation::instance().withPhysics([&](Physics &physics) { physics.setBaseWheels(left, right); });
        });
    char path[64];
    struct stat info{};
    if (::ptsname_r(s_baseEnd, path, sizeof path) == 0 && ::stat(path, &info) == 0)
        s_lineDevice.store(info.st_rdev);
}

} // namespace kxsim

// The one write the simulator looks at: a write to the base's line is served
// at once (see serveWrite); every other write goes on unchanged.
extern "C" ssize_t write(int fd, const void *bytes, size_t count)
{
    const ssize_t written = kxsim::realWrite()(fd, bytes, count);
    if (written > 0 && kxsim::isLine(fd))
        kxsim::serveWrite(fd, std::size_t(written));
    return written;
}
