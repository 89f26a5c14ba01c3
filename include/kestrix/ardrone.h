/** @file
 * @addtogroup ardrone Drone
 * The quadcopter. The controller must have joined the drone's own wireless
 * network; the drone is reached at 192.168.1.1.
 *
 * Every call may come from any thread. Commands given while disconnected are
 * dropped. Units of the flight state: percent, degrees, metres and metres
 * per second; positions are integrated from the velocities since connecting
 * or the last drone_clear_position().
 * @{ */
#ifndef KESTRIX_ARDRONE_H
#define KESTRIX_ARDRONE_H

#include "export.h"

KESTRIX_BEGIN_C

/* Connection */

/** Connects, waiting up to 3 s for the drone to answer. 1 when connected,
 * else 0. While connected the drone is sent its current command every 30 ms,
 * and the side button stops the program if the emergency stop is enabled. */
KESTRIX_API int drone_connect(void);
/** Lands the drone and drops the connection; harmless when not connected.
 * The land command is repeated every 30 ms for 0.5 s before the link is
 * dropped, so this takes about half a second while connected. */
KESTRIX_API void drone_disconnect(void);
/** 1 or 2 for the first or second generation of the drone; -1 when not
 * connected or when the version cannot be read within 3 s (or the drone's
 * replies run past 64 lines or 512 bytes a line). */
KESTRIX_API int get_drone_version(void);

/* Flight */

/** Flat trim: tells the landed drone that it lies level. */
KESTRIX_API void drone_calibrate(void);
/** Takes off; the command is resent with the others while connected and
 * dropped while disconnected. */
KESTRIX_API void drone_takeoff(void);
/** Lands; resent and dropped as drone_takeoff(). */
KESTRIX_API void drone_land(void);
/** Moves until the next drone_move() or drone_hover(). Each value is a
 * fraction of the drone's maximum in [-1, 1] (values outside are clamped):
 * roll (positive: tilt right), pitch (negative: nose down, forward), gaz
 * (positive: climb), yaw (positive: turn clockwise). */
KESTRIX_API void drone_move(float roll, float pitch, float gaz, float yaw);
/** Stops moving and holds position. */
KESTRIX_API void drone_hover(void);

/* Flight state (each call reads the newest navigation data). Packets with
 * a sequence number not newer than the last one, or a reading that is not
 * finite, are ignored. When no navigation data has come for 1 s the drone
 * counts as disconnected (the settings below refuse) until fresh data
 * arrives; these getters then give the last readings received. */

/** Battery level in percent, 0 to 100. */
KESTRIX_API int get_drone_battery(void);
/** @name Position */
///@{
/** Position in metres, integrated from the velocities. */
KESTRIX_API float get_drone_x(void);
KESTRIX_API float get_drone_y(void);
KESTRIX_API float get_drone_z(void);
KESTRIX_API void drone_clear_position(void);
///@}
/** @name Velocity */
///@{
/** Velocities in metres per second. */
KESTRIX_API float get_drone_x_velocity(void);
KESTRIX_API float get_drone_y_velocity(void);
KESTRIX_API float get_drone_z_velocity(void);
///@}
/** @name Attitude */
///@{
/** Attitude in degrees. */
KESTRIX_API float get_drone_pitch(void);
KESTRIX_API float get_drone_roll(void);
KESTRIX_API float get_drone_yaw(void);
///@}
/** Altitude above the ground in metres. */
KESTRIX_API float get_drone_altitude(void);

/* Camera */

/** Makes the drone's camera the camera input and opens it. The drone's video
 * cannot be decoded by this library, so this returns 0. */
KESTRIX_API int drone_camera_open(int camera);

/* Drone settings (refused with 0 while not connected or while the drone
 * has sent no navigation data for 1 s) */

/** Pairs the drone to "xx:xx:xx:xx:xx:xx"; "00:00:00:00:00:00" unpairs. 0 for
 * a null address. */
KESTRIX_API int set_drone_mac_address(const char *address);
/** Pairs the drone to this controller's hardware address. */
KESTRIX_API int drone_pair(void);
/** Renames the drone's network (up to 32 characters, no double quote); the
 * drone uses the name after it restarts. An empty or null name writes
 * "SSID must be at least one character long!" to standard error and gives
 * 0. */
KESTRIX_API int set_drone_ssid(const char *ssid);

/* Emergency stop */

/** @name Emergency stop */
///@{
/** While enabled and connected, pressing the side button lands the drone
 * (the land command repeated for 0.5 s), disconnects and ends the program
 * with status 0. Off until enabled. */
KESTRIX_API void set_drone_emergency_stop_enabled(int enabled);
KESTRIX_API int get_drone_emergency_stop_enabled(void);
///@}

KESTRIX_END_C

/** @} */

#endif
