/** @file
 * @addtogroup camera Camera
 * The camera device: frames from the current input source and, for each
 * configured colour channel, the object it sees.
 *
 * Without a camera every call reports none: opening fails, sizes and counts
 * are 0 and the centre of an object that does not exist is -1. Use from one
 * thread at a time.
 * @{ */
#ifndef KESTRIX_CAMERA_H
#define KESTRIX_CAMERA_H

#include "export.h"

KESTRIX_BEGIN_C

/** Opens camera `number` of the current input source. `model` and
 * `resolution` are accepted for compatibility and ignored. 1 on success,
 * else 0. */
KESTRIX_API int camera_open_device_model_at_res(int number, int model, int resolution);

/** Loads the colour channels from `/etc/kestrix/camera/<name>.conf`: one
 * channel per line, `rgb <red low> <red high> <green low> <green high>
 * <blue low> <blue high>` with values 0-255; '#' starts a comment line.
 * 1 when the file was read and named at least one channel, else 0 (the
 * channels stay as they were). A name containing '/' is refused. */
KESTRIX_API int camera_load_config(const char *name);

/** Takes the newest frame; the queries below then describe it. 1 when a frame
 * came, else 0. */
KESTRIX_API int camera_update(void);

/** @name Frame size */
///@{
/** Size of the newest frame in pixels; 0 while there is none. */
KESTRIX_API int get_camera_width(void);
KESTRIX_API int get_camera_height(void);
///@}

/** The number of configured colour channels. */
KESTRIX_API int get_channel_count(void);

/** The number of objects channel `channel` saw in the newest frame (0 or 1:
 * a channel reports the centre of all its pixels as one object); 0 for a
 * channel that does not exist. */
KESTRIX_API int get_object_count(int channel);

/** @name Object centre */
///@{
/** The centre of an object in pixels from the left and top edges; -1 when the
 * channel or object does not exist. */
KESTRIX_API int get_object_center_x(int channel, int object);
KESTRIX_API int get_object_center_y(int channel, int object);
///@}

/** Closes the camera. */
KESTRIX_API void camera_close(void);

KESTRIX_END_C

/** @} */

#endif
