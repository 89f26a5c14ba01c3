// The keeper (keeper.h). Everything from the fork on is system calls on
// memory prepared before it: no allocation, no locks, no stdio.
#include "launcher/keeper.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr int ForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// A process table read from /proc: at most this many processes are seen at
// once, and a run with more is killed in several rounds.
constexpr int MaxProcesses = 16384;
pid_t s_pid[MaxProcesses];
pid_t s_parent[MaxProcesses];
bool s_ours[MaxProcesses];

struct Dirent64
{
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[1];
};

bool readNumber(const char *&at, long &value)
{
    if (*at < '0' || *at > '9')
        return false;
    value = 0;
    while (*at >= '0' && *at <= '9')
        value = value * 10 + (*at++ - '0');
    return true;
}

// The parent of `pid` from /proc/PID/stat ("pid (name) state ppid ..."; the
// name may hold spaces and parentheses, so the last ')' ends it).
pid_t parentOf(const char *pidText)
{
    char path[64] = "/proc/";
    std::size_t n = std::strlen(path);
    for (const char *c = pidText; *c && n < sizeof path - 8; ++c)
        path[n++] = *c;
    std::memcpy(path + n, "/stat", 6);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[1024];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    const char *close = nullptr;
    for (const char *c = text; *c; ++c)
        if (*c == ')')
            close = c;
    if (close == nullptr || close[1] != ' ' || close[2] == '\0' || close[3] != ' ')
        return -1;
    const char *at = close + 4;
    long parent = 0;
    return readNumber(at, parent) ? pid_t(parent) : -1;
}

// Reads the process table; returns how many processes it holds.
int readProcesses()
{
    const int folder = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return 0;
    int count = 0;
    alignas(8) char buffer[8192];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (long at = 0; at < got;) {
            const Dirent64 *entry = reinterpret_cast<const Dirent64 *>(buffer + at);
            at += entry->length;
            const char *name = entry->name;
            long pid = 0;
            if (!readNumber(name, pid) || *name != '\0' || count == MaxProcesses)
                continue;
            const pid_t parent = parentOf(entry->name);
            if (parent < 0)
                continue;
            s_pid[count] = pid_t(pid);
            s_parent[count] = parent;
            s_ours[count] = false;
            ++count;
        }
    }
    ::close(folder);
    return count;
}

void pause(long nanoseconds)
{
    timespec wait{0, nanoseconds};
    ::nanosleep(&wait, nullptr);
}

// Kills every process below this one and reaps them. Killed parents hand
// their children to us (we are the subreaper), so rounds go on until no
// child is left, or for five seconds at most: without /proc (a bare
// container) nothing below can be named, and the keeper gives up.
void endRun()
{
    const pid_t self = ::getpid();
    for (int round = 0; round < 5000; ++round) {
        // No child left: nothing below us is left either, as every process
        // below has a child of ours among its parents. The usual end of a
        // run, and it needs no look through /proc.
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0) {
        }
        if (reaped < 0 && errno == ECHILD)
            return;
        const int count = readProcesses();
        bool grew = true;
        while (grew) {
            grew = false;
            for (int k = 0; k < count; ++k) {
                if (s_ours[k])
                    continue;
                bool below = s_parent[k] == self;
                for (int j = 0; j < count && !below; ++j)
                    below = s_ours[j] && s_pid[j] == s_parent[k];
                if (below)
                    s_ours[k] = grew = true;
            }
        }
        for (int k = 0; k < count; ++k)
            if (s_ours[k])
                ::kill(s_pid[k], SIGKILL);
        while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0) {
        }
        if (reaped < 0 && errno == ECHILD)
            return;
        pause(1000000);
    }
}

[[noreturn]] void runProgram(const KeeperLaunch &launch)
{
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : ForwardedSignals)
        ::sigaction(signal, &action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (launch.stdoutFd >= 0)
        ::dup2(launch.stdoutFd, STDOUT_FILENO);
    ::execve(launch.program, launch.arguments, launch.environment);
    const int error = errno;
    (void)!::write(launch.execReport, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void keep(const KeeperLaunch &launch, pid_t launcher, int alive, int report)
{
    // Orphans of the run come to us, however far they went (a new session,
    // say). Where this is refused (a user-mode emulator refuses it), the
    // keeper still ends every process whose parents lead back to it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The launcher forwards these to the program; the keeper stays to the end.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int signal : ForwardedSignals)
        ::sigaction(signal, &ignore, nullptr);
    // The launcher may have ended before the keeper could watch it.
    if (::getppid() != launcher)
        ::_exit(1);
    // A child's end wakes the keeper at once, through a signalfd: SIGCHLD is
    // blocked from before the program's fork (which unblocks it again), so
    // none is missed. The keeper still looks every 20 ms, as it does without
    // a signalfd: a user-mode emulator may take the host's SIGCHLD itself,
    // and the signalfd then never wakes.
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &childEnded, nullptr);
    const int childFd = ::signalfd(-1, &childEnded, SFD_CLOEXEC | SFD_NONBLOCK);
    const pid_t program = ::fork();
    if (program == 0)
        runProgram(launch);
    ::close(launch.execReport);
    if (program < 0 || ::write(report, &program, sizeof program) != sizeof program) {
        endRun();
        ::_exit(1);
    }
    for (;;) {
        pollfd watched[2]{{alive, POLLIN, 0}, {childFd, POLLIN, 0}};
        ::poll(watched, childFd >= 0 ? 2 : 1, 20);
        if (watched[1].revents & POLLIN) {
            signalfd_siginfo drained;
            while (::read(childFd, &drained, sizeof drained) == sizeof drained) {
            }
        }
        int status = 0;
        pid_t reaped;
        bool ended = false;
        while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0)
            if (reaped == program) {
                ended = true;
                break;
            }
        if (ended) {
            endRun();
            (void)!::write(report, &status, sizeof status);
            ::_exit(0);
        }
        if (watched[0].revents != 0) { // the launcher has gone
            endRun();
            ::_exit(1);
        }
    }
}

} // namespace

bool startKeeper(const KeeperLaunch &launch, Keeper &keeper)
{
    int alive[2], report[2];
    if (::pipe2(alive, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(report, O_CLOEXEC) != 0) {
        ::close(alive[0]);
        ::close(alive[1]);
        return false;
    }
    const pid_t launcher = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(alive[1]);
        ::close(report[0]);
        keep(launch, launcher, alive[0], report[1]);
    }
    const int error = errno;
    ::close(alive[0]);
    ::close(report[1]);
    if (child < 0) {
        ::close(alive[1]);
        ::close(report[0]);
        errno = error;
        return false;
    }
    // alive[1] stays open, unused, for as long as the launcher lives: its
    // end is the keeper's sign.
    keeper.keeper = child;
    keeper.status = report[0];
    pid_t program = -1;
    ssize_t got;
    while ((got = ::read(report[0], &program, sizeof program)) < 0 && errno == EINTR) {
    }
    if (got != sizeof program) {
        ::waitpid(child, nullptr, 0);
        ::close(report[0]);
        errno = ECHILD;
        return false;
    }
    keeper.program = program;
    return true;
}

bool waitForKeeper(const Keeper &keeper, int &waitStatus, void (*step)(void *), void *context)
{
    for (;;) {
        const pid_t done = ::waitpid(keeper.keeper, nullptr, step ? WNOHANG : 0);
        if (done == keeper.keeper)
            break;
        if (done < 0 && errno != EINTR)
            return false;
        if (done == 0 && step) {
            step(context);
            pause(5000000);
        }
    }
    ssize_t got;
    while ((got = ::read(keeper.status, &waitStatus, sizeof waitStatus)) < 0 && errno == EINTR) {
    }
    ::close(keeper.status);
    return got == sizeof waitStatus;
}

} // namespace kxsim
