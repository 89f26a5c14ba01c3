#ifndef KESTRIX_PRIVATE_CAMERA_C_P_H
#define KESTRIX_PRIVATE_CAMERA_C_P_H

#include "private/camera_p.h"

namespace Private {

// Holds the one camera device and the input provider that feeds it. Not
// thread-safe: callers use the camera from one thread at a time.
class DeviceSingleton
{
public:
    // Takes ownership of `provider` (may be null) and makes it current; the
    // previous provider and the current device are destroyed, the device
    // first. Handing over the provider already installed keeps it and only
    // drops the device.
    static void setInputProvider(Camera::InputProvider *provider);
    // The current device, built on the current provider when there is none
    // yet. Never null.
    static Camera::Device *instance();
    // The current provider; null when none was set.
    static Camera::InputProvider *inputProvider();

private:
    static Camera::Device *s_device;
    static Camera::InputProvider *s_inputProvider;
};

} // namespace Private

#endif
