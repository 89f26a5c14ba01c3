#include "fake_device.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr int MaxTrackedFd = 4096;

std::mutex &registryLock()
{
    static std::mutex s_lock;
    return s_lock;
}

std::vector<FakeDevice *> &registry()
{
    static std::vector<FakeDevice *> s_devices;
    return s_devices;
}

std::atomic<FakeDevice *> s_owner[MaxTrackedFd];
std::atomic<int> s_invalidCloses{0};

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

FakeDevice *claimant(const char *path)
{
    if (path == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(registryLock());
    auto &devices = registry();
    for (auto it = devices.rbegin(); it != devices.rend(); ++it)
        if ((*it)->claims(path))
            return *it;
    return nullptr;
}

FakeDevice *owner(int fd)
{
    if (fd < 0 || fd >= MaxTrackedFd)
        return nullptr;
    return s_owner[fd].load(std::memory_order_acquire);
}

int openFake(FakeDevice *device, const char *path, int flags)
{
    const int fd = device->open(path, flags);
    if (fd < 0)
        return fd;
    if (fd >= MaxTrackedFd) {
        realClose(fd);
        errno = EMFILE;
        return -1;
    }
    s_owner[fd].store(device, std::memory_order_release);
    return fd;
}

mode_t modeArgument(int flags, va_list args)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(args, int));
    return 0;
}

} // namespace

void *nextSymbol(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

void registerDevice(FakeDevice *device)
{
    std::lock_guard<std::mutex> guard(registryLock());
    registry().push_back(device);
}

void adopt(int fd, FakeDevice *device)
{
    if (fd >= 0 && fd < MaxTrackedFd)
        s_owner[fd].store(device, std::memory_order_release);
}

int realOpen(const char *path, int flags)
{
    static const OpenFn s_open = nextFunction<OpenFn>("open");
    return s_open(path, flags);
}

int realClose(int fd)
{
    static const CloseFn s_close = nextFunction<CloseFn>("close");
    return s_close(fd);
}

int invalidCloseCount()
{
    return s_invalidCloses.load();
}

} // namespace kxsim

using namespace kxsim;

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (FakeDevice *device = claimant(path))
        return openFake(device, path, flags);
    static const OpenFn s_open = nextFunction<OpenFn>("open");
    return s_open(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (FakeDevice *device = claimant(path))
        return openFake(device, path, flags);
    static const OpenFn s_open64 = nextFunction<OpenFn>("open64");
    return s_open64(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    if (FakeDevice *device = claimant(path))
        return openFake(device, path, flags);
    static const OpenatFn s_openat = nextFunction<OpenatFn>("openat");
    return s_openat(dirfd, path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (FakeDevice *device = owner(fd))
        return device->ioctl(fd, request, argument);
    static const IoctlFn s_ioctl = nextFunction<IoctlFn>("ioctl");
    return s_ioctl(fd, request, argument);
}

int close(int fd)
{
    if (fd < 0)
        s_invalidCloses.fetch_add(1);
    if (FakeDevice *device = owner(fd)) {
        device->closed(fd);
        s_owner[fd].store(nullptr, std::memory_order_release);
    }
    return realClose(fd);
}

} // extern "C"
