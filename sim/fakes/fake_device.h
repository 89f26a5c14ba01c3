// The simulator's seam for device files, at the dynamic-linker boundary.
// interpose.cpp defines open, open64, openat, ioctl, mmap, mmap64, munmap,
// close, dup, dup2, dup3, fcntl (F_DUPFD) and close_range; a call on a path that a registered FakeDevice claims (or on a
// descriptor that such a device handed out or adopted, or on memory it
// mapped) goes to that device, every other call goes on to the C library
// unchanged. Time (fake_clock, whose poll asks pollDevice first), sockets
// (fake_network) and the listing of the power-supply folder (fake_battery)
// have interposers of their own; all of them reach the C library through
// nextFunction below.
#ifndef KESTRIX_SIM_FAKE_DEVICE_H
#define KESTRIX_SIM_FAKE_DEVICE_H

#include <cstddef>

#include <poll.h>

namespace kxsim {

class FakeDevice
{
public:
    virtual ~FakeDevice() = default;

    // True when this device stands in for `path`.
    virtual bool claims(const char *path) const = 0;
    // Opens the device. Returns a genuine descriptor (see realOpen) or -1
    // with errno set.
    virtual int open(const char *path, int flags) = 0;
    // An ioctl on a descriptor that open() returned.
    virtual int ioctl(int fd, unsigned long request, void *argument) = 0;
    // The descriptor's open file is about to be closed: its last descriptor
    // goes (a duplicate of a fake's descriptor is the fake's too). Every call
    // names the file by the descriptor open() returned, or by `renumbered`'s.
    virtual void closed(int fd) { (void)fd; }
    // The descriptor `fd` was closed while duplicates of it live on: the
    // device knows the open file by `now` from here on.
    virtual void renumbered(int fd, int now)
    {
        (void)fd;
        (void)now;
    }
    // mmap of a descriptor that open() returned: the address (mapped with
    // realMmap) or MAP_FAILED with errno set. Devices without memory refuse.
    virtual void *mmap(int fd, std::size_t length, int prot, int flags, long long offset);
    // Memory that mmap() returned is about to be unmapped.
    virtual void unmapped(void *address, std::size_t length)
    {
        (void)address;
        (void)length;
    }
    // poll of one descriptor that open() returned, alone in its set. A
    // device that answers sets `result` (1 with `revents` set when ready, 0
    // after `timeoutMs`, -1: no limit) and returns true; by default it
    // returns false and the descriptor is polled as any other.
    virtual bool poll(int fd, short events, short &revents, int timeoutMs, int &result);
};

// Makes `device` answer for the paths it claims; later registrations are
// asked first. Devices live for the whole process.
void registerDevice(FakeDevice *device);

// Registers one `Device` while the program starts, from a namespace-scope
// object: `const Registered<SpiDeviceFile> s_spiDevice;`.
template <typename Device>
struct Registered
{
    Registered()
    {
        static Device &s_device = *new Device; // lives for the whole process
        registerDevice(&s_device);
    }
};

// Routes later ioctl and close calls on `fd` to `device`: for a descriptor
// that stands in for something not opened by path (fake_network's sockets).
void adopt(int fd, FakeDevice *device);

// The C library's own open and close, for devices that hand out a real
// descriptor (of /dev/null, say) behind their fake.
int realOpen(const char *path, int flags);
int realClose(int fd);
// Answers a poll of one fake descriptor whose device answers polls (the
// camera's capture loop waits so); false for every other set.
bool pollDevice(pollfd *fds, unsigned long count, int timeoutMs, int &result);

// And its own mmap, for devices that map memory behind their fake.
void *realMmap(void *address, std::size_t length, int prot, int flags, int fd, long long offset);

// The next definition of the C library function `name` after the
// simulator's own: every interposer reaches the real call through this one
// lookup (interpose.cpp).
void *nextSymbol(const char *name);

template <typename Fn>
Fn nextFunction(const char *name)
{
    return reinterpret_cast<Fn>(nextSymbol(name));
}

// How many times close() was called with a negative descriptor in this
// process (a close of something that was never opened).
int invalidCloseCount();

} // namespace kxsim

#endif
