#include "kestrix/camera.h"

#include "private/camera_c_p.h"
#include "private/camera_capture_p.h"
#include "private/camera_config_p.h"

#include <cstdio>
#include <cstring>

using Private::DeviceSingleton;

namespace {

Camera::Device *device()
{
    return DeviceSingleton::instance();
}

const Camera::Object *object(int channel, int index)
{
    return device()->object(channel, index);
}

// The controller's own camera as the current provider, installed once; the
// channels survive the change of device that comes with it.
Camera::CaptureInputProvider *captureProvider()
{
    auto *current = dynamic_cast<Camera::CaptureInputProvider *>(DeviceSingleton::inputProvider());
    if (current != nullptr)
        return current;
    const std::vector<Camera::Channel> channels = device()->channels();
    auto *provider = new Camera::CaptureInputProvider();
    DeviceSingleton::setInputProvider(provider);
    device()->setChannels(channels);
    return provider;
}

} // namespace

int camera_open_device_model_at_res(int number, int, int resolution)
{
    if (!Camera::CaptureInputProvider::validResolution(resolution)) {
        std::fprintf(stderr, "kestrix: camera: unknown resolution code %d (0, 1 or 2)\n", resolution);
        device()->close();
        return 0;
    }
    captureProvider()->setResolution(resolution);
    return device()->open(number) ? 1 : 0;
}

int camera_load_config(const char *name)
{
    // The name picks a file inside the configuration folder, never a path.
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr)
        return 0;
    std::vector<Camera::Channel> channels;
    std::string error;
    if (!Camera::loadChannels(std::string(Camera::ConfigDirectory) + "/" + name + ".conf", channels, error)) {
        std::fprintf(stderr, "kestrix: camera configuration %s\n", error.c_str());
        return 0;
    }
    device()->setChannels(channels);
    return 1;
}

int camera_update(void)
{
    return device()->update() ? 1 : 0;
}

void camera_close(void)
{
    device()->close();
}

int get_channel_count(void)
{
    return device()->channelCount();
}

int get_channel_index(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return -1;
    const std::vector<Camera::Channel> &channels = device()->channels();
    for (std::size_t c = 0; c < channels.size(); ++c)
        if (channels[c].name == name)
            return static_cast<int>(c);
    return -1;
}

int get_camera_width(void)
{
    return device()->width();
}

int get_camera_height(void)
{
    return device()->height();
}

int get_camera_pixel(int x, int y)
{
    const Camera::Frame &frame = device()->frame();
    if (x < 0 || y < 0 || x >= frame.width || y >= frame.height)
        return -1;
    const unsigned char *pixel = &frame.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width)
                                             + static_cast<std::size_t>(x)) * 3];
    return (pixel[0] << 16) | (pixel[1] << 8) | pixel[2];
}

int get_object_count(int channel)
{
    return device()->objectCount(channel);
}

int get_object_center_x(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->centerX : -1;
}

int get_object_center_y(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->centerY : -1;
}

int get_object_area(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->area : 0;
}

int get_object_bbox_ulx(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->left : -1;
}

int get_object_bbox_uly(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->top : -1;
}

int get_object_bbox_brx(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->right : -1;
}

int get_object_bbox_bry(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->bottom : -1;
}

double get_object_confidence(int channel, int index)
{
    const Camera::Object *found = object(channel, index);
    return found != nullptr ? found->confidence() : 0.0;
}
