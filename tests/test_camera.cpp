// The camera device holder, the camera device and the camera C functions.
#include "private/camera_p.h"
#include "private/camera_c_p.h"
#include "kestrix/ardrone.h"
#include "kestrix/camera.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <fstream>
#include <string>

using Private::DeviceSingleton;

namespace {

// Counts its deletions in a counter that it shares with the test (the
// holder may delete it long after the test is over). Delivers one fixed
// frame once opened.
using Counter = std::shared_ptr<int>;

Counter counter()
{
    return std::make_shared<int>(0);
}

class CountingProvider : public Camera::InputProvider
{
public:
    explicit CountingProvider(Counter deleted)
        : m_deleted(std::move(deleted))
    {
    }
    ~CountingProvider() override { ++*m_deleted; }

    bool open(int number) override
    {
        ++opens;
        lastNumber = number;
        m_open = true;
        return true;
    }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool nextFrame(Camera::Frame &frame) override
    {
        if (!m_open)
            return false;
        frame = next;
        return true;
    }

    int opens = 0;
    int lastNumber = -1;
    Camera::Frame next;

private:
    Counter m_deleted;
    bool m_open = false;
};

// A 4 x 3 black frame with pure red pixels at the given places.
Camera::Frame frameWithRedAt(std::initializer_list<std::pair<int, int>> points)
{
    Camera::Frame frame;
    frame.width = 4;
    frame.height = 3;
    frame.rgb.assign(4 * 3 * 3, 0);
    for (const auto &point : points)
        frame.rgb[static_cast<std::size_t>((point.second * 4 + point.first) * 3)] = 255;
    return frame;
}

// The holder keeps its device and provider for the life of the process;
// every case here runs in a process of its own, and the first case below
// relies on coming first when the whole file runs in one.
TEST(CameraSingleton, FirstInstanceIsBuiltOnNoProviderAndThenKept)
{
    Camera::Device *first = DeviceSingleton::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(first->open(0));
    EXPECT_EQ(DeviceSingleton::instance(), first);
}

TEST(CameraSingleton, NewProviderGetsANewDeviceAndTheOldOneIsDeletedOnce)
{
    Counter oldDeleted = counter(), newDeleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(oldDeleted));
    DeviceSingleton::instance();
    auto *provider = new CountingProvider(newDeleted);

    DeviceSingleton::setInputProvider(provider);
    Camera::Device *device = DeviceSingleton::instance();

    EXPECT_EQ(*oldDeleted, 1);
    EXPECT_EQ(*newDeleted, 0);
    EXPECT_TRUE(device->open(1));
    EXPECT_EQ(provider->opens, 1);
    EXPECT_EQ(DeviceSingleton::instance(), device);
}

TEST(CameraSingleton, NullProviderDropsBothAndTheNextDeviceHasNoSource)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    DeviceSingleton::setInputProvider(provider);
    ASSERT_TRUE(DeviceSingleton::instance()->open(0));

    DeviceSingleton::setInputProvider(nullptr);

    EXPECT_EQ(*deleted, 1);
    Camera::Device *device = DeviceSingleton::instance();
    EXPECT_FALSE(device->isOpen());
    EXPECT_FALSE(device->open(0));
}

TEST(CameraSingleton, TwoProvidersInARowDeleteTheFirstOnly)
{
    Counter firstDeleted = counter(), secondDeleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(firstDeleted));
    auto *second = new CountingProvider(secondDeleted);

    DeviceSingleton::setInputProvider(second);

    EXPECT_EQ(*firstDeleted, 1);
    EXPECT_EQ(*secondDeleted, 0);
    EXPECT_TRUE(DeviceSingleton::instance()->open(0));
    EXPECT_EQ(second->opens, 1);
}

TEST(CameraSingleton, HandingOverTheInstalledProviderAgainKeepsIt)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    DeviceSingleton::setInputProvider(provider);
    DeviceSingleton::instance();

    DeviceSingleton::setInputProvider(provider);

    EXPECT_EQ(*deleted, 0);
    EXPECT_TRUE(DeviceSingleton::instance()->open(2)); // still alive and current
    EXPECT_EQ(provider->lastNumber, 2);
    DeviceSingleton::setInputProvider(nullptr);
    EXPECT_EQ(*deleted, 1);
}

// -------------------------------------------------------------------- device

TEST(CameraDevice, ChannelReportsTheCentreOfItsPixels)
{
    Counter deleted = counter();
    CountingProvider provider(deleted);
    provider.next = frameWithRedAt({{1, 1}, {3, 1}, {2, 2}, {2, 0}});
    Camera::Device device(&provider);
    Camera::Channel red;
    red.low[0] = 200;
    red.high[1] = 10;
    red.high[2] = 10;
    Camera::Channel green;
    green.low[1] = 200;
    device.setChannels({red, green});

    ASSERT_TRUE(device.open(0));
    ASSERT_TRUE(device.update());

    EXPECT_EQ(device.width(), 4);
    EXPECT_EQ(device.height(), 3);
    ASSERT_EQ(device.objectCount(0), 1);
    EXPECT_EQ(device.object(0, 0)->centerX, 2);
    EXPECT_EQ(device.object(0, 0)->centerY, 1);
    EXPECT_EQ(device.object(0, 0)->area, 4);
    EXPECT_EQ(device.objectCount(1), 0);
    EXPECT_EQ(device.object(1, 0), nullptr);
    EXPECT_EQ(device.object(0, 1), nullptr);
    EXPECT_EQ(device.objectCount(2), 0);
}

TEST(CameraDevice, DroneProviderHasNoFrames)
{
    Camera::ARDroneInputProvider drone;
    Camera::Device device(&drone);
    EXPECT_FALSE(device.open(1));
    EXPECT_FALSE(device.update());
    EXPECT_EQ(device.width(), 0);
}

TEST(CameraDevice, DestroyingTheDeviceLeavesItsProviderAlone)
{
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    auto *device = new Camera::Device(provider);
    ASSERT_TRUE(device->open(0));

    delete provider; // gone first, as when the holder swaps providers
    delete device;   // would touch freed memory if it closed its provider

    EXPECT_EQ(*deleted, 1);
}

// --------------------------------------------------------------- C interface

TEST(CameraC, WithoutACameraEverythingReportsNone)
{
    DeviceSingleton::setInputProvider(nullptr);

    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 0), 0);
    EXPECT_EQ(camera_update(), 0);
    EXPECT_EQ(get_camera_width(), 0);
    EXPECT_EQ(get_camera_height(), 0);
    EXPECT_EQ(get_channel_count(), 0);
    EXPECT_EQ(get_object_count(0), 0);
    EXPECT_EQ(get_object_count(-1), 0);
    EXPECT_EQ(get_object_center_x(0, 0), -1);
    EXPECT_EQ(get_object_center_y(0, 0), -1);
    EXPECT_EQ(get_object_center_x(-3, 99), -1);
    camera_close();
    EXPECT_EQ(get_camera_width(), 0);
}

TEST(CameraC, DroneCameraOpenInstallsTheDroneSourceAndFails)
{
    Counter deleted = counter();
    DeviceSingleton::setInputProvider(new CountingProvider(deleted));

    EXPECT_EQ(drone_camera_open(2), 0);
    EXPECT_EQ(drone_camera_open(0), 0);

    EXPECT_EQ(*deleted, 1);
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 0), 0); // the drone source stays
}

class CameraConfig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrix-camera-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_directory = pattern;
        Camera::setConfigDirectory(m_directory);
        DeviceSingleton::setInputProvider(nullptr);
    }
    void TearDown() override
    {
        std::system(("rm -rf " + m_directory).c_str());
        Camera::setConfigDirectory("/etc/kestrix/camera");
    }
    void write(const std::string &name, const std::string &text)
    {
        std::ofstream(m_directory + "/" + name) << text;
    }

    std::string m_directory;
};

TEST_F(CameraConfig, LoadsTheNamedChannelsAndFindsTheirObjects)
{
    write("1.conf", "# red and green\n\nrgb 200 255 0 10 0 10\n  rgb 0 10 200 255 0 10\n");
    Counter deleted = counter();
    auto *provider = new CountingProvider(deleted);
    provider->next = frameWithRedAt({{0, 2}, {2, 2}});
    DeviceSingleton::setInputProvider(provider);

    EXPECT_EQ(camera_load_config("1"), 1);
    EXPECT_EQ(camera_open_device_model_at_res(0, 0, 0), 1);
    EXPECT_EQ(camera_update(), 1);

    EXPECT_EQ(get_channel_count(), 2);
    EXPECT_EQ(get_camera_width(), 4);
    EXPECT_EQ(get_camera_height(), 3);
    ASSERT_EQ(get_object_count(0), 1);
    EXPECT_EQ(get_object_center_x(0, 0), 1);
    EXPECT_EQ(get_object_center_y(0, 0), 2);
    EXPECT_EQ(get_object_count(1), 0);
    EXPECT_EQ(get_object_center_y(1, 0), -1);

    camera_close();
    EXPECT_EQ(get_object_count(0), 0);
    EXPECT_EQ(get_camera_width(), 0);
}

TEST_F(CameraConfig, BadOrMissingConfigurationsLoadNothing)
{
    write("good.conf", "rgb 0 255 0 255 0 255\n");
    write("range.conf", "rgb 0 256 0 10 0 10\n");
    write("order.conf", "rgb 20 10 0 10 0 10\n");
    write("short.conf", "rgb 1 2 3 4 5\n");
    write("extra.conf", "rgb 1 2 3 4 5 6 7\n");
    write("kind.conf", "hsv 1 2 3 4 5 6\n");
    write("empty.conf", "# nothing\n");
    ASSERT_EQ(camera_load_config("good"), 1);

    for (const char *name : {"range", "order", "short", "extra", "kind", "empty", "missing", "", "../good"})
        EXPECT_EQ(camera_load_config(name), 0) << name;
    EXPECT_EQ(camera_load_config(nullptr), 0);
    EXPECT_EQ(get_channel_count(), 1); // the good one stays
}

} // namespace
