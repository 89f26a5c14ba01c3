#ifndef KESTRIX_PRIVATE_INPUT_KEYS_P_H
#define KESTRIX_PRIVATE_INPUT_KEYS_P_H

#include "private/buttons_p.h"

#include <chrono>
#include <mutex>

namespace Private {

// The controller's buttons as a Linux input device: the current key state of
// /dev/input/event<N>, read with EVIOCGKEY on every question (no events are
// consumed, so other readers of the device see them all).
//
// Device choice: the first of event0 to event31 that opens read-only, answers
// EVIOCGKEY and reports (EVIOCGBIT for EV_KEY) at least one of the button
// keys. The device is looked for on the first question; when none is found,
// again at most once a second; when a read fails (device unplugged), it is
// dropped and looked for again at the next question. With no device every
// key reads released. The descriptor is held until the process ends.
class InputKeys
{
public:
    static InputKeys &instance();

    // The key code of a button: KEY_A, KEY_B, KEY_C, KEY_X, KEY_Y, KEY_Z for
    // the labelled buttons and KEY_ESC for the side button; -1 for none.
    static int keyOf(::Button::Type::Id id);

    // True while `key` is held down on the device; false with no device.
    bool isDown(int key);

    // Drops the current device; the next question looks for one at once.
    void rescan();

    InputKeys(const InputKeys &) = delete;
    InputKeys &operator=(const InputKeys &) = delete;

private:
    InputKeys() = default;
    void scan();

    std::mutex m_lock;
    int m_fd = -1;
    bool m_scanDue = true;
    std::chrono::steady_clock::time_point m_nextScan{};
};

} // namespace Private

#endif
