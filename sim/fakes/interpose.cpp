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
#include <linux/close_range.h>
#include <sys/mman.h>
#include <sys/syscall.h>
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
    // Never destroyed: the C library's exit still opens files (a
    // sanitizer's report of leaks opens the program's own file).
    static std::vector<FakeDevice *> &s_devices = *new std::vector<FakeDevice *>;
    return s_devices;
}

// The device behind each descriptor, and the number the device knows the
// descriptor's open file by: the one its open() returned, shared by every
// duplicate of it (dup, dup2, dup3, fcntl F_DUPFD).
std::atomic<FakeDevice *> s_owner[MaxTrackedFd];
std::atomic<int> s_key[MaxTrackedFd];
std::mutex &descriptorLock()
{
    static std::mutex s_lock;
    return s_lock;
}
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
    static std::map<void *, FakeDevice *> &s_mappings = *new std::map<void *, FakeDevice *>;
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

// The number `device` knows `fd`'s open file by.
int key(int fd)
{
    return s_key[fd].load(std::memory_order_acquire);
}

void track(int fd, FakeDevice *device, int key)
{
    s_key[fd].store(key, std::memory_order_release);
    s_owner[fd].store(device, std::memory_order_release);
}

// `copy` now refers to what `fd` refers to (the kernel made it so).
void duplicated(int fd, int copy)
{
    // Most descriptors are no fake's: they pass without the lock.
    if (copy < 0 || copy >= MaxTrackedFd || owner(fd) == nullptr)
        return;
    std::lock_guard<std::mutex> guard(descriptorLock());
    if (FakeDevice *device = owner(fd))
        track(copy, device, key(fd));
}

// `fd` no longer refers to a fake (closed, or replaced by dup2 or dup3).
// The device hears of it when the last descriptor of the open file goes;
// until then, should the number it knows go, it knows the file by another.
void forget(int fd)
{
    if (owner(fd) == nullptr)
        return;
    FakeDevice *device = nullptr;
    int gone = -1, renamed = -1;
    {
        std::lock_guard<std::mutex> guard(descriptorLock());
        device = owner(fd);
        if (device == nullptr)
            return;
        gone = key(fd);
        s_owner[fd].store(nullptr, std::memory_order_release);
        for (int other = 0; other < MaxTrackedFd && renamed < 0; ++other)
            if (owner(other) == device && key(other) == gone)
                renamed = other;
        if (renamed >= 0 && gone == fd)
            for (int other = 0; other < MaxTrackedFd; ++other)
                if (owner(other) == device && key(other) == gone)
                    s_key[other].store(renamed, std::memory_order_release);
    }
    if (renamed < 0)
        device->closed(gone);
    else if (gone == fd)
        device->renumbered(fd, renamed);
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
    track(fd, device, fd);
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
        track(fd, device, fd);
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
    return device != nullptr && device->poll(key(fds[0].fd), fds[0].events, fds[0].revents, timeoutMs, result);
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
        return device->ioctl(key(fd), request, argument);
    static const IoctlFn s_ioctl = nextFunction<IoctlFn>("ioctl");
    return s_ioctl(fd, request, argument);
}

void *mmap(void *address, std::size_t length, int prot, int flags, int fd, off_t offset)
{
    if (FakeDevice *device = owner(fd))
        return mapFake(device, key(fd), length, prot, flags, offset);
    return unguarded(s_mmap, "mmap")(address, length, prot, flags, fd, offset);
}

void *mmap64(void *address, std::size_t length, int prot, int flags, int fd, off64_t offset)
{
    if (FakeDevice *device = owner(fd))
        return mapFake(device, key(fd), length, prot, flags, offset);
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
    forget(fd);
    return realClose(fd);
}

// A duplicate of a fake's descriptor is the fake's too; a descriptor that a
// duplicate replaces, or that close_range closes, is no longer.
int dup(int fd)
{
    static const auto s_dup = nextFunction<int (*)(int)>("dup");
    const int copy = s_dup(fd);
    if (copy >= 0)
        duplicated(fd, copy);
    return copy;
}

int dup2(int fd, int copy)
{
    static const auto s_dup2 = nextFunction<int (*)(int, int)>("dup2");
    const int result = s_dup2(fd, copy);
    if (result >= 0 && fd != copy) {
        forget(copy);
        duplicated(fd, copy);
    }
    return result;
}

int dup3(int fd, int copy, int flags)
{
    static const auto s_dup3 = nextFunction<int (*)(int, int, int)>("dup3");
    const int result = s_dup3(fd, copy, flags);
    if (result >= 0) {
        forget(copy);
        duplicated(fd, copy);
    }
    return result;
}

namespace {

using FcntlFn = int (*)(int, int, ...);

int fcntlThrough(FcntlFn real, int fd, int command, void *argument)
{
    const int result = real(fd, command, argument);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC))
        duplicated(fd, result);
    return result;
}

} // namespace

// The argument is an int or a pointer by command; passed on as the C
// library's own wrapper passes it.
int fcntl(int fd, int command, ...)
{
    va_list args;
    va_start(args, command);
    void *argument = va_arg(args, void *);
    va_end(args);
    static const auto s_fcntl = nextFunction<FcntlFn>("fcntl");
    return fcntlThrough(s_fcntl, fd, command, argument);
}

int fcntl64(int fd, int command, ...)
{
    va_list args;
    va_start(args, command);
    void *argument = va_arg(args, void *);
    va_end(args);
    static const FcntlFn s_fcntl64 = [] {
        const auto found = nextFunction<FcntlFn>("fcntl64");
        return found ? found : nextFunction<FcntlFn>("fcntl");
    }();
    return fcntlThrough(s_fcntl64, fd, command, argument);
}

int close_range(unsigned first, unsigned last, int flags)
{
    using CloseRangeFn = int (*)(unsigned, unsigned, int);
    static const auto s_closeRange = nextFunction<CloseRangeFn>("close_range");
    const int result = s_closeRange ? s_closeRange(first, last, flags)
                                    : int(::syscall(SYS_close_range, first, last, flags));
    if (result == 0 && !(flags & CLOSE_RANGE_CLOEXEC))
        for (unsigned fd = first; fd <= last && fd < unsigned(MaxTrackedFd); ++fd)
            forget(int(fd));
    return result;
}

} // extern "C"
