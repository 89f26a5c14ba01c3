/** @file
 * @addtogroup camera Camera
 * The camera device: frames from a camera attached to the controller and,
 * for each configured colour channel, the blobs of that colour it sees.
 *
 * Rules for every function here: use the camera from one thread at a time.
 * Without a frame every query reports none: counts are 0, and the
 * coordinates of an object that does not exist are -1. Coordinates are in
 * pixels from the left and top edges of the frame.
 * @{ */
#ifndef KESTRIX_CAMERA_H
#define KESTRIX_CAMERA_H

#include "export.h"

KESTRIX_BEGIN_C

/** @name Device */
///@{

/** Opens `/dev/video<number>` (Linux video capture, YUYV pictures) at the size
 * of `resolution`: 0 = 160 x 120, 1 = 320 x 240, 2 = 640 x 480 (the camera
 * may pick the nearest size it has; get_camera_width() and get_camera_height() tell). `model`
 * is accepted for compatibility and ignored. An open camera is closed
 * first; after drone_camera_open() this makes the controller's camera the
 * source again, keeping the loaded channels. 1 on success; 0 for an unknown
 * resolution code, no such device, or a camera that sends only compressed
 * pictures (the library has no decoder; a line on standard error says so). */
KESTRIX_API int camera_open_device_model_at_res(int number, int model, int resolution);

/** Takes the newest frame, dropping any that waited in the queue, and finds
 * each channel's blobs in it; the queries below then describe it. Waits at
 * most 2 s for a frame. 1 when a frame came, else 0. A camera that fails
 * (unplugged, say) is closed: 0 from then on until it is opened again. */
KESTRIX_API int camera_update(void);

/** Stops capture and releases the device. Safe to call when nothing is open
 * and to call twice. The channels stay loaded. */
KESTRIX_API void camera_close(void);
///@}

/** @name Channels */
///@{

/** Loads the colour channels from `/etc/kestrix/camera/<name>.conf`. One
 * channel per line, channel 0 first; blank lines and lines whose first word
 * starts with '#' are skipped:
 *
 * @verbatim
   rgb <red low> <red high> <green low> <green high> <blue low> <blue high> [options]
   hsv <hue low> <hue high> <sat low> <sat high> <value low> <value high> [options]
   @endverbatim
 *
 * Bounds are inclusive whole numbers: red, green, blue, saturation and
 * value 0-255, hue in degrees 0-359. A hue range whose low bound is above
 * its high bound wraps through red (340 20 takes 340-359 and 0-20). The
 * options, in any order:
 *
 * @verbatim
   name <word>       1-31 letters, digits, '_' or '-'; unique in the file
   min_area <pixels> smallest blob reported, 1 (the default) or more
   @endverbatim
 *
 * Example:
 *
 * @verbatim
   # 0: the red ball, however the light falls
   hsv 340 20 120 255 60 255 name ball min_area 30
   # 1: green tape
   rgb 0 90 140 255 0 90 name tape
   @endverbatim
 *
 * At most 32 channels, 256 characters a line, 64 KiB a file, printable
 * text only. 1 when the file was read and every line is good; else 0, a
 * line on standard error names the fault, and the channels stay as they
 * were. A name that is empty or contains '/' is refused. */
KESTRIX_API int camera_load_config(const char *name);

/** The number of configured colour channels. */
KESTRIX_API int get_channel_count(void);

/** The channel called `name` in its configuration file; -1 when none is. */
KESTRIX_API int get_channel_index(const char *name);
///@}

/** @name Frame */
///@{

/** Size of the newest frame in pixels; before the first frame the size the
 * open fixed; 0 while no camera is open. */
KESTRIX_API int get_camera_width(void);
KESTRIX_API int get_camera_height(void);

/** The colour of pixel (x, y) of the newest frame as 0xRRGGBB; -1 outside
 * the frame or while there is none. */
KESTRIX_API int get_camera_pixel(int x, int y);
///@}

/** @name Objects */
///@{

/** The number of blobs (8-connected pixels of the channel's colours, at least
 * its minimum area) that channel `channel` saw in the newest frame; 0 for a
 * channel that does not exist. Object 0 is the largest; blobs of equal
 * area come in the order of their first pixel (top row first, then the
 * leftmost). */
KESTRIX_API int get_object_count(int channel);

/** The centre of an object: the mean position of its pixels, rounded down;
 * -1 when the channel or object does not exist. */
KESTRIX_API int get_object_center_x(int channel, int object);
KESTRIX_API int get_object_center_y(int channel, int object);

/** The number of pixels of an object; 0 when it does not exist. */
KESTRIX_API int get_object_area(int channel, int object);

/** The bounding box of an object: upper-left and bottom-right corners, both
 * inside the object's box (a 1-pixel object has ulx == brx); -1 when it does
 * not exist. */
KESTRIX_API int get_object_bbox_ulx(int channel, int object);
KESTRIX_API int get_object_bbox_uly(int channel, int object);
KESTRIX_API int get_object_bbox_brx(int channel, int object);
KESTRIX_API int get_object_bbox_bry(int channel, int object);

/** The share of its bounding box that an object fills, above 0 and at most 1
 * (a filled rectangle is 1, a thin diagonal line near 0); 0 when it does
 * not exist. */
KESTRIX_API double get_object_confidence(int channel, int object);
///@}

KESTRIX_END_C

/** @} */

#endif
