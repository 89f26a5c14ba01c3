// The simulator's seam for device files, at the dynamic-linker boundary.
// interpose.cpp defines open, open64, openat, ioctl and close; a call on a
// path that a registered FakeDevice claims (or on a descriptor that such a
// device handed out or adopted) goes to that device, every other call goes on
// to the C library unchanged. Time (fake_clock), sockets (fake_network) and
// the listing of the power-supply folder (fake_battery) have interposers of
// their own; all of them reach the C library through nextFunction below.
#ifndef KESTRIX_SIM_FAKE_DEVICE_H
#define KESTRIX_SIM_FAKE_DEVICE_H

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
    // The descriptor is about to be closed.
    virtual void closed(int fd) { (void)fd; }
};

// Makes `device` answer for the paths it claims; later registrations are
// asked first. Devices live for the whole process.
void registerDevice(FakeDevice *device);

// Routes later ioctl and close calls on `fd` to `device`: for a descriptor
// that stands in for something not opened by path (fake_network's sockets).
void adopt(int fd, FakeDevice *device);

// The C library's own open and close, for devices that hand out a real
// descriptor (of /dev/null, say) behind their fake.
int realOpen(const char *path, int flags);
int realClose(int fd);

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
