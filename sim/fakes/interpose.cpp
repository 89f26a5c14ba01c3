#include "fakes/fake_device.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <mutex>
#include <vector>

#include <map>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
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
using MmapFn = void *(*)(void *, std::size_t, int, int, int, off_t);
using Mmap64Fn = void *(*)(void *, std::size_t, int, int, int, off64_t);
using MunmapFn = int (*)(void *, std::size_t);

// Memory handed out by a device's mmap, so that munmap (which names no
// descriptor) finds its way back.
std::mutex &mappingLock()
{
    static std::mutex s_lock;
    return s_lock;
}

std::map<void *, FakeDevice *> &mappings()
{
    static std::map<void *, FakeDevice *> s_mappings;
    return s_mappings;
}

// Mappings of fake devices now alive. The sanitizers' runtimes map memory
// through mmap while they start, before any guarded static may be touched:
// while no fake mapping exists, munmap goes straight on.
std::atomic<int> s_fakeMappings{0};

// The C library's mmap family, looked up once without a guard variable (see
// s_fakeMappings).
template <typename Fn>
Fn unguarded(std::atomic<Fn> &slot, const char *name)
{
    Fn function = slot.load(std::memory_order_acquire);
    if (function == nullptr) {
        function = nextFunction<Fn>(name);
        slot.store(function, std::memory_order_release);
    }
    return function;
}

std::atomic<MmapFn> s_mmap{nullptr};
std::atomic<Mmap64Fn> s_mmap64{nullptr};
std::atomic<MunmapFn> s_munmap{nullptr};

void *mapFake(FakeDevice *device, int fd, std::size_t length, int prot, int flags, long long offset)
{
    void *address = device->mmap(fd, length, prot, flags, offset);
    if (address != MAP_FAILED) {
        std::lock_guard<std::mutex> guard(mappingLock());
        mappings()[address] = device;
        s_fakeMappings.fetch_add(1);
    }
    return address;
}

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

void *realMmap(void *address, std::size_t length, int prot, int flags, int fd, long long offset)
{
    static const Mmap64Fn s_mmap64 = nextFunction<Mmap64Fn>("mmap64");
    return s_mmap64(address, length, prot, flags, fd, static_cast<off64_t>(offset));
}

void *FakeDevice::mmap(int, std::size_t, int, int, long long)
{
    errno = ENODEV;
    return MAP_FAILED;
}

bool FakeDevice::poll(int, short, short &, int, int &)
{
    return false;
}

bool pollDevice(pollfd *fds, unsigned long count, int timeoutMs, int &result)
{
    if (count != 1 || fds == nullptr)
        return false;
    FakeDevice *device = owner(fds[0].fd);
    return device != nullptr && device->poll(fds[0].fd, fds[0].events, fds[0].revents, timeoutMs, result);
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

void *mmap(void *address, std::size_t length, int prot, int flags, int fd, off_t offset)
{
    if (FakeDevice *device = owner(fd))
        return mapFake(device, fd, length, prot, flags, offset);
    return unguarded(s_mmap, "mmap")(address, length, prot, flags, fd, offset);
}

void *mmap64(void *address, std::size_t length, int prot, int flags, int fd, off64_t offset)
{
    if (FakeDevice *device = owner(fd))
        return mapFake(device, fd, length, prot, flags, offset);
    return unguarded(s_mmap64, "mmap64")(address, length, prot, flags, fd, offset);
}

int munmap(void *address, std::size_t length)
{
    FakeDevice *device = nullptr;
    if (s_fakeMappings.load() > 0) {
        std::lock_guard<std::mutex> guard(mappingLock());
        const auto found = mappings().find(address);
        if (found != mappings().end()) {
            device = found->second;
            mappings().erase(found);
            s_fakeMappings.fetch_sub(1);
        }
    }
    if (device != nullptr)
        device->unmapped(address, length);
    return unguarded(s_munmap, "munmap")(address, length);
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
