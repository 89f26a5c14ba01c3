#include "private/camera_c_p.h"

namespace Private {

Camera::Device *DeviceSingleton::s_device = nullptr;
Camera::InputProvider *DeviceSingleton::s_inputProvider = nullptr;

void DeviceSingleton::setInputProvider(Camera::InputProvider *provider)
{
    // The device goes first: it was built on the old provider.
    delete s_device;
    s_device = nullptr;
    if (provider != s_inputProvider)
        delete s_inputProvider;
    s_inputProvider = provider;
}

Camera::Device *DeviceSingleton::instance()
{
    if (s_device == nullptr)
        s_device = new Camera::Device(s_inputProvider);
    return s_device;
}

Camera::InputProvider *DeviceSingleton::inputProvider()
{
    return s_inputProvider;
}

} // namespace Private
