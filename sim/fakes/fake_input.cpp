#include "fakes/fake_input.h"

#include "fakes/fake_device.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <linux/input.h>

namespace kxsim {

namespace {

constexpr char EventPrefix[] = "/dev/input/event";
constexpr std::size_t KeyCount = KEY_MAX + 1;
constexpr std::size_t LongBits = sizeof(unsigned long) * CHAR_BIT;

// Writes `bits` in the kernel's layout (unsigned longs, bit n in word
// n / LongBits) into the caller's `length` bytes; returns the bytes written.
int copyBitmap(const std::vector<bool> &bits, void *argument, std::size_t length)
{
    std::vector<unsigned long> words((KeyCount + LongBits - 1) / LongBits, 0);
    for (std::size_t n = 0; n < KeyCount; ++n)
        if (bits[n])
            words[n / LongBits] |= 1UL << (n % LongBits);
    const std::size_t bytes = std::min(length, words.size() * sizeof(unsigned long));
    std::memset(argument, 0, length);
    std::memcpy(argument, words.data(), bytes);
    return static_cast<int>(bytes);
}

class InputDeviceFile : public FakeDevice
{
public:
    bool claims(const char *path) const override
    {
        return std::strncmp(path, EventPrefix, sizeof EventPrefix - 1) == 0;
    }

    int open(const char *path, int) override
    {
        if (std::strcmp(path + sizeof EventPrefix - 1, "0") != 0) {
            errno = ENOENT;
            return -1;
        }
        return FakeInput::instance().open();
    }

    int ioctl(int, unsigned long request, void *argument) override
    {
        return FakeInput::instance().ioctl(request, argument);
    }

    void closed(int) override { FakeInput::instance().closed(); }
};

const Registered<InputDeviceFile> s_inputDevice;

} // namespace

FakeInput::FakeInput()
    : m_keys(KeyCount, false), m_reported(KeyCount, true)
{
}

FakeInput &FakeInput::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeInput &s_instance = *new FakeInput;
    return s_instance;
}

void FakeInput::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::fill(m_keys.begin(), m_keys.end(), false);
    std::fill(m_reported.begin(), m_reported.end(), true);
    m_changes.clear();
    m_present = true;
    m_readError = 0;
    m_keyReads = 0;
    m_openCount = 0;
}

void FakeInput::setKey(int code, bool down)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_keys.at(static_cast<std::size_t>(code)) = down;
}

bool FakeInput::key(int code) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_keys.at(static_cast<std::size_t>(code));
}

unsigned FakeInput::keysDown(const int *codes, std::size_t count) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    unsigned bits = 0;
    for (std::size_t n = 0; n < count; ++n)
        if (codes[n] >= 0 && std::size_t(codes[n]) < m_keys.size() && m_keys[std::size_t(codes[n])])
            bits |= 1u << n;
    return bits;
}

void FakeInput::setKeyAfterReads(std::size_t n, int code, bool down)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_changes.push_back({m_keyReads + n, code, down});
}

void FakeInput::setPresent(bool present)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_present = present;
}

void FakeInput::setReportedKeys(const std::vector<int> &codes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::fill(m_reported.begin(), m_reported.end(), false);
    for (int code : codes)
        m_reported.at(static_cast<std::size_t>(code)) = true;
}

void FakeInput::setReadError(int error)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_readError = error;
}

std::size_t FakeInput::keyReads() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_keyReads;
}

int FakeInput::openCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_openCount;
}

int FakeInput::openDescriptors() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_openDescriptors;
}

int FakeInput::open()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_present) {
        errno = ENOENT;
        return -1;
    }
    const int fd = realOpen("/dev/null", O_RDONLY);
    if (fd >= 0) {
        ++m_openCount;
        ++m_openDescriptors;
    }
    return fd;
}

int FakeInput::ioctl(unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::size_t length = _IOC_SIZE(request);
    const unsigned long number = _IOC_NR(request);
    if (_IOC_TYPE(request) != 'E' || _IOC_DIR(request) != _IOC_READ || argument == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (number == _IOC_NR(EVIOCGKEY(0))) {
        if (m_readError != 0) {
            errno = m_readError;
            return -1;
        }
        const int written = copyBitmap(m_keys, argument, length);
        ++m_keyReads;
        for (auto it = m_changes.begin(); it != m_changes.end();) {
            if (it->atRead == m_keyReads) {
                m_keys.at(static_cast<std::size_t>(it->code)) = it->down;
                it = m_changes.erase(it);
            } else {
                ++it;
            }
        }
        return written;
    }
    if (number == _IOC_NR(EVIOCGBIT(EV_KEY, 0)))
        return copyBitmap(m_reported, argument, length);
    errno = EINVAL;
    return -1;
}

void FakeInput::closed()
{
    std::lock_guard<std::mutex> guard(m_lock);
    --m_openDescriptors;
}

} // namespace kxsim
