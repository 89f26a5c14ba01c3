#include "private/camera_p.h"

namespace Camera {

InputProvider::~InputProvider() = default;

ARDroneInputProvider::ARDroneInputProvider() = default;
ARDroneInputProvider::~ARDroneInputProvider() = default;

bool ARDroneInputProvider::open(int)
{
    return false;
}

void ARDroneInputProvider::close()
{
}

bool ARDroneInputProvider::isOpen() const
{
    return false;
}

bool ARDroneInputProvider::nextFrame(Frame &)
{
    return false;
}

Device::Device(InputProvider *provider)
    : m_provider(provider)
{
}

Device::~Device() = default;

bool Device::open(int number)
{
    close();
    if (m_provider == nullptr)
        return false;
    m_open = m_provider->open(number);
    return m_open;
}

void Device::close()
{
    if (m_open)
        m_provider->close();
    m_open = false;
    m_frame = Frame();
    m_objects.assign(m_tracker.channels().size(), {});
}

bool Device::isOpen() const
{
    return m_open;
}

bool Device::update()
{
    if (!m_open || !m_provider->nextFrame(m_frame) || m_frame.width <= 0 || m_frame.height <= 0
        || m_frame.rgb.size() < static_cast<std::size_t>(m_frame.width) * static_cast<std::size_t>(m_frame.height) * 3) {
        m_frame = Frame();
        m_objects.assign(m_tracker.channels().size(), {});
        return false;
    }
    m_tracker.track(m_frame, m_objects);
    return true;
}

int Device::width() const
{
    return m_frame.width > 0 || !m_open ? m_frame.width : m_provider->frameWidth();
}

int Device::height() const
{
    return m_frame.height > 0 || !m_open ? m_frame.height : m_provider->frameHeight();
}

void Device::setChannels(const std::vector<Channel> &channels)
{
    m_tracker.setChannels(channels);
    m_objects.assign(m_tracker.channels().size(), {});
}

int Device::channelCount() const
{
    return static_cast<int>(m_tracker.channels().size());
}

int Device::objectCount(int channel) const
{
    if (channel < 0 || static_cast<std::size_t>(channel) >= m_objects.size())
        return 0;
    return static_cast<int>(m_objects[static_cast<std::size_t>(channel)].size());
}

const Object *Device::object(int channel, int index) const
{
    if (index < 0 || index >= objectCount(channel))
        return nullptr;
    return &m_objects[static_cast<std::size_t>(channel)][static_cast<std::size_t>(index)];
}

} // namespace Camera
