/* libkestrix: the whole C interface in one include.
 *
 * Rules that hold for every function:
 * - Failures come back as values, never as exceptions: getters give a
 *   neutral value (usually 0), setters do nothing for a port they refuse.
 * - Every register operation is one complete exchange with the coprocessor
 *   on the caller's thread; exchanges from several threads are serialised
 *   inside the library.
 * - If /dev/spidev2.0 cannot be opened, "Device not found: /dev/spidev2.0"
 *   is printed once on standard output and every reading is 0. If it goes
 *   away later (an exchange fails with ENODEV, ENXIO or ESHUTDOWN),
 *   "Device lost: /dev/spidev2.0" is printed once on standard output and the
 *   library carries on as with a missing device: nothing is sent any more,
 *   every reading is 0.
 * - Usable from C99 and C++. */
#ifndef KESTRIX_KESTRIX_H
#define KESTRIX_KESTRIX_H

#include "accel.h"
#include "analog.h"
#include "ardrone.h"
#include "audio.h"
#include "battery.h"
#include "button.h"
#include "camera.h"
#include "compass.h"
#include "create.h"
#include "digital.h"
#include "firmware.h"
#include "graphics.h"
#include "gyro.h"
#include "ir.h"
#include "magneto.h"
#include "motors.h"
#include "nyi.h"
#include "servo.h"
#include "thread.h"
#include "util.h"
#include "wait_for.h"

#endif
