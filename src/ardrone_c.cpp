#include "kestrix/ardrone.h"

#include "private/ardrone_p.h"
#include "private/camera_c_p.h"

#include <cstdio>

namespace {

// The drone is the access point of its own network, always at this address.
const char *const DroneAddress = "192.168.1.1";

} // namespace

int drone_connect(void)
{
    return ARDrone::instance().connect(DroneAddress, 3.0) ? 1 : 0;
}

void drone_disconnect(void)
{
    ARDrone::instance().disconnect();
}

int get_drone_version(void)
{
    switch (ARDrone::instance().version()) {
    case ARDrone::V1:
        return 1;
    case ARDrone::V2:
        return 2;
    default:
        return -1;
    }
}

void drone_calibrate(void)
{
    ARDrone::instance().flatTrim();
}

void drone_takeoff(void)
{
    ARDrone::instance().takeoff();
}

void drone_land(void)
{
    ARDrone::instance().land();
}

int get_drone_battery(void)
{
    return ARDrone::instance().navigationData().batteryLevel;
}

void drone_clear_position(void)
{
    ARDrone::instance().clearPosition();
}

float get_drone_x(void)
{
    return ARDrone::instance().navigationData().x;
}

float get_drone_y(void)
{
    return ARDrone::instance().navigationData().y;
}

float get_drone_z(void)
{
    return ARDrone::instance().navigationData().z;
}

float get_drone_x_velocity(void)
{
    return ARDrone::instance().navigationData().xVelocity;
}

float get_drone_y_velocity(void)
{
    return ARDrone::instance().navigationData().yVelocity;
}

float get_drone_z_velocity(void)
{
    return ARDrone::instance().navigationData().zVelocity;
}

float get_drone_pitch(void)
{
    return ARDrone::instance().navigationData().pitch;
}

float get_drone_roll(void)
{
    return ARDrone::instance().navigationData().roll;
}

float get_drone_yaw(void)
{
    return ARDrone::instance().navigationData().yaw;
}

float get_drone_altitude(void)
{
    return ARDrone::instance().navigationData().altitude;
}

int drone_camera_open(int camera)
{
    Private::DeviceSingleton::setInputProvider(new Camera::ARDroneInputProvider());
    return Private::DeviceSingleton::instance()->open(camera != 0 ? 1 : 0) ? 1 : 0;
}

int set_drone_mac_address(const char *address)
{
    if (ARDrone::instance().state() == ARDrone::Disconnected)
        return 0;
    if (address == nullptr)
        return 0;
    ARDrone::instance().setOwnerAddress(address);
    return 1;
}

int drone_pair(void)
{
    if (ARDrone::instance().state() == ARDrone::Disconnected)
        return 0;
    ARDrone::instance().pair();
    return 1;
}

int set_drone_ssid(const char *ssid)
{
    if (ARDrone::instance().state() == ARDrone::Disconnected)
        return 0;
    if (ssid == nullptr || ssid[0] == '\0') {
        std::fputs("SSID must be at least one character long!\n", stderr);
        return 0;
    }
    ARDrone::instance().setSsid(ssid);
    return 1;
}

void drone_move(float roll, float pitch, float gaz, float yaw)
{
    ARDrone::instance().move(roll, pitch, gaz, yaw);
}

void drone_hover(void)
{
    ARDrone::instance().hover();
}

void set_drone_emergency_stop_enabled(int enabled)
{
    ARDrone::instance().setEmergencyStopEnabled(enabled != 0);
}

int get_drone_emergency_stop_enabled(void)
{
    return ARDrone::instance().isEmergencyStopEnabled() ? 1 : 0;
}
