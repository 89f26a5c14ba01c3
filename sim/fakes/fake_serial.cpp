#include "fakes/fake_serial.h"

#include "fakes/fake_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr const char *AdapterPath = "/dev/ttyUSB0";

using IoctlFn = int (*)(int, unsigned long, ...);

class SerialAdapterFile : public FakeDevice
{
public:
    bool claims(const char *path) const override { return std::strcmp(path, AdapterPath) == 0; }
    int open(const char *, int flags) override { return FakeSerial::instance().open(flags); }
    // The descriptor is a genuine terminal (or /dev/null): the kernel answers.
    int ioctl(int fd, unsigned long request, void *argument) override
    {
        static const IoctlFn s_ioctl = nextFunction<IoctlFn>("ioctl");
        return s_ioctl(fd, request, argument);
    }
};

const Registered<SerialAdapterFile> s_serialAdapter;

} // namespace

FakeSerial &FakeSerial::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeSerial &s_instance = *new FakeSerial;
    return s_instance;
}

int FakeSerial::plug(Line line)
{
    std::lock_guard<std::mutex> guard(m_lock);
    closeLine();
    m_line = line;
    if (line == Line::NotATerminal) {
        m_base = realOpen("/dev/null", O_RDWR | O_CLOEXEC);
        return m_base;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0
        || ::ptsname_r(master, m_terminalPath, sizeof m_terminalPath) != 0) {
        realClose(master);
        return -1;
    }
    m_terminal = realOpen(m_terminalPath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_terminal < 0) {
        realClose(master);
        return -1;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_base = master;
    return m_base;
}

void FakeSerial::unplug()
{
    std::lock_guard<std::mutex> guard(m_lock);
    closeLine();
}

void FakeSerial::closeLine()
{
    // Closing the master hangs up every terminal-side descriptor.
    if (m_terminal >= 0)
        realClose(m_terminal);
    if (m_base >= 0)
        realClose(m_base);
    m_terminal = m_base = -1;
    m_terminalPath[0] = '\0';
}

bool FakeSerial::plugged() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_base >= 0;
}

int FakeSerial::baseEnd() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_base;
}

bool FakeSerial::settings(termios &out) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_terminal >= 0 && ::tcgetattr(m_terminal, &out) == 0;
}

int FakeSerial::open(int flags)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_base < 0) {
        errno = ENOENT;
        return -1;
    }
    if (m_line == Line::NotATerminal)
        return realOpen("/dev/null", flags);
    return realOpen(m_terminalPath, flags | O_NOCTTY);
}

} // namespace kxsim
