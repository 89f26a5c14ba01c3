#include "private/camera_p.h"

#include <fstream>
#include <sstream>

namespace Camera {

namespace {

std::string &configDirectoryStore()
{
    static std::string s_directory = "/etc/kestrix/camera";
    return s_directory;
}

} // namespace

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

bool loadChannels(const std::string &path, std::vector<Channel> &channels)
{
    std::ifstream file(path);
    if (!file)
        return false;
    std::vector<Channel> loaded;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        if (!(words >> kind) || kind[0] == '#')
            continue;
        if (kind != "rgb")
            return false;
        Channel channel;
        for (int i = 0; i < 3; ++i) {
            int low, high;
            if (!(words >> low >> high) || low < 0 || high > 255 || low > high)
                return false;
            channel.low[i] = static_cast<unsigned char>(low);
            channel.high[i] = static_cast<unsigned char>(high);
        }
        std::string extra;
        if (words >> extra)
            return false;
        loaded.push_back(channel);
    }
    if (file.bad() || loaded.empty())
        return false;
    channels = loaded;
    return true;
}

void setConfigDirectory(const std::string &directory)
{
    configDirectoryStore() = directory;
}

std::string configDirectory()
{
    return configDirectoryStore();
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
    m_objects.assign(m_channels.size(), {});
}

bool Device::isOpen() const
{
    return m_open;
}

bool Device::update()
{
    m_objects.assign(m_channels.size(), {});
    Frame frame;
    if (!m_open || !m_provider->nextFrame(frame) || frame.width <= 0 || frame.height <= 0 ||
        frame.rgb.size() < static_cast<std::size_t>(frame.width) * frame.height * 3) {
        m_frame = Frame();
        return false;
    }
    m_frame = std::move(frame);
    for (std::size_t c = 0; c < m_channels.size(); ++c) {
        const Channel &channel = m_channels[c];
        long long sumX = 0, sumY = 0, area = 0;
        const unsigned char *pixel = m_frame.rgb.data();
        for (int y = 0; y < m_frame.height; ++y) {
            for (int x = 0; x < m_frame.width; ++x, pixel += 3) {
                bool inside = true;
                for (int i = 0; i < 3 && inside; ++i)
                    inside = pixel[i] >= channel.low[i] && pixel[i] <= channel.high[i];
                if (inside) {
                    sumX += x;
                    sumY += y;
                    ++area;
                }
            }
        }
        if (area > 0) {
            Object object;
            object.centerX = static_cast<int>(sumX / area);
            object.centerY = static_cast<int>(sumY / area);
            object.area = static_cast<int>(area);
            m_objects[c].push_back(object);
        }
    }
    return true;
}

int Device::width() const
{
    return m_frame.width;
}

int Device::height() const
{
    return m_frame.height;
}

void Device::setChannels(const std::vector<Channel> &channels)
{
    m_channels = channels;
    m_objects.assign(m_channels.size(), {});
}

int Device::channelCount() const
{
    return static_cast<int>(m_channels.size());
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
