#include "private/input_keys_p.h"

#include <climits>
#include <cstdio>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Private {

namespace {

constexpr int MaxEventDevice = 31;
constexpr auto RescanInterval = std::chrono::seconds(1);

constexpr int ButtonKeys[] = {KEY_A, KEY_B, KEY_C, KEY_X, KEY_Y, KEY_Z, KEY_ESC};

// The kernel's key bitmaps are arrays of unsigned long, bit n in word
// n / LONG_BIT, so testing by word stays right on either byte order.
constexpr std::size_t LongBits = sizeof(unsigned long) * CHAR_BIT;
using KeyBits = unsigned long[(KEY_MAX + LongBits) / LongBits];

bool testBit(const KeyBits &bits, int key)
{
    return (bits[std::size_t(key) / LongBits] >> (std::size_t(key) % LongBits)) & 1UL;
}

bool readKeyState(int fd, KeyBits &bits)
{
    return ::ioctl(fd, EVIOCGKEY(sizeof(KeyBits)), bits) >= 0;
}

bool reportsButtonKeys(int fd)
{
    KeyBits capabilities = {};
    if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof(KeyBits)), capabilities) < 0)
        return false;
    for (int key : ButtonKeys)
        if (testBit(capabilities, key))
            return true;
    return false;
}

} // namespace

InputKeys &InputKeys::instance()
{
    static InputKeys s_instance;
    return s_instance;
}

int InputKeys::keyOf(::Button::Type::Id id)
{
    const int index = static_cast<int>(id);
    if (index < 0 || index >= static_cast<int>(sizeof ButtonKeys / sizeof ButtonKeys[0]))
        return -1;
    return ButtonKeys[index];
}

bool InputKeys::isDown(int key)
{
    if (key < 0 || key > KEY_MAX)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd < 0) {
        if (!m_scanDue && std::chrono::steady_clock::now() < m_nextScan)
            return false;
        scan();
        if (m_fd < 0)
            return false;
    }
    KeyBits state = {};
    if (!readKeyState(m_fd, state)) {
        ::close(m_fd);
        m_fd = -1;
        m_scanDue = true;
        return false;
    }
    return testBit(state, key);
}

void InputKeys::rescan()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_scanDue = true;
}

void InputKeys::scan()
{
    m_scanDue = false;
    for (int n = 0; n <= MaxEventDevice; ++n) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/input/event%d", n);
        const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        KeyBits state = {};
        if (readKeyState(fd, state) && reportsButtonKeys(fd)) {
            m_fd = fd;
            return;
        }
        ::close(fd);
    }
    m_nextScan = std::chrono::steady_clock::now() + RescanInterval;
}

} // namespace Private
