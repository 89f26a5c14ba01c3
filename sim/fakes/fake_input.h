// A fake Linux input device for the controller's buttons. It stands in for
// every /dev/input/event<N> path: event0 is a key device (unless made
// absent), every other number does not exist. It answers EVIOCGKEY with the
// current key state and EVIOCGBIT(EV_KEY) with the keys it reports.
//
// Tests and the simulator press keys with FakeInput::instance().setKey(KEY_A,
// true); the library reads them through its input source.
#ifndef KESTRIX_SIM_FAKE_INPUT_H
#define KESTRIX_SIM_FAKE_INPUT_H

#include <cstddef>
#include <mutex>
#include <vector>

namespace kxsim {

class FakeInput
{
public:
    static FakeInput &instance();

    // Every key up, the device present and reporting every key, reads
    // succeeding, counters zero, scheduled changes dropped. Descriptors the
    // library holds stay valid.
    void reset();

    void setKey(int code, bool down);
    bool key(int code) const;
    // Bit n set for each of `codes` that is down, at one moment.
    unsigned keysDown(const int *codes, std::size_t count) const;

    // Key `code` goes down or up right after the `n`-th EVIOCGKEY answer
    // from now (1 = the next), so that answer n + 1 sees the change.
    void setKeyAfterReads(std::size_t n, int code, bool down);

    // While absent, opening any /dev/input/event path fails with ENOENT.
    void setPresent(bool present);
    // The keys EVIOCGBIT(EV_KEY) reports; every key after reset().
    void setReportedKeys(const std::vector<int> &codes);
    // While `error` is not 0, EVIOCGKEY fails with it (ENODEV: unplugged).
    void setReadError(int error);

    // EVIOCGKEY answers since reset, successful opens of event0 since reset,
    // and descriptors of the device now open.
    std::size_t keyReads() const;
    int openCount() const;
    int openDescriptors() const;

    // Called by the device file; not for tests.
    int open();
    int ioctl(unsigned long request, void *argument);
    void closed();

private:
    FakeInput();
    struct Change
    {
        std::size_t atRead;
        int code;
        bool down;
    };

    mutable std::mutex m_lock;
    std::vector<bool> m_keys;
    std::vector<bool> m_reported;
    std::vector<Change> m_changes;
    bool m_present = true;
    int m_readError = 0;
    std::size_t m_keyReads = 0;
    int m_openCount = 0;
    int m_openDescriptors = 0;
};

} // namespace kxsim

#endif
