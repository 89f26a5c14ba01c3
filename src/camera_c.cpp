#include "kestrix/camera.h"

#include "private/camera_c_p.h"

#include <cstring>

using Private::DeviceSingleton;

int camera_open_device_model_at_res(int number, int, int)
{
    return DeviceSingleton::instance()->open(number) ? 1 : 0;
}

int camera_load_config(const char *name)
{
    // The name picks a file inside the configuration folder, never a path.
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr)
        return 0;
    std::vector<Camera::Channel> channels;
    if (!Camera::loadChannels(Camera::configDirectory() + "/" + name + ".conf", channels))
        return 0;
    DeviceSingleton::instance()->setChannels(channels);
    return 1;
}

int camera_update(void)
{
    return DeviceSingleton::instance()->update() ? 1 : 0;
}

int get_camera_width(void)
{
    return DeviceSingleton::instance()->width();
}

int get_camera_height(void)
{
    return DeviceSingleton::instance()->height();
}

int get_channel_count(void)
{
    return DeviceSingleton::instance()->channelCount();
}

int get_object_count(int channel)
{
    return DeviceSingleton::instance()->objectCount(channel);
}

int get_object_center_x(int channel, int object)
{
    const Camera::Object *found = DeviceSingleton::instance()->object(channel, object);
    return found != nullptr ? found->centerX : -1;
}

int get_object_center_y(int channel, int object)
{
    const Camera::Object *found = DeviceSingleton::instance()->object(channel, object);
    return found != nullptr ? found->centerY : -1;
}

void camera_close(void)
{
    DeviceSingleton::instance()->close();
}
