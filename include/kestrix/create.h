/** @file
 * @addtogroup create Mobile base
 * The mobile base: a two-wheeled robot base driven over its serial protocol
 * on /dev/ttyUSB0 (115200 baud, 8 data bits, no parity, 1 stop bit, no flow
 * control).
 *
 * Units: speeds in millimetres per second of each wheel, distances in
 * millimetres (forward positive), angles in degrees (counter-clockwise
 * positive, as seen from above).
 *
 * Nothing here blocks for long: the base is given at most 500 ms to answer
 * create_connect and 100 ms to answer each sensor query. Without a connected
 * base every call returns at once and the getters return -1. The base counts
 * as disconnected from the moment its line fails (the adapter was unplugged)
 * or three queries in a row got no valid answer; create_connect tries again.
 * All calls are safe from several threads.
 * @{ */
#ifndef KESTRIX_CREATE_H
#define KESTRIX_CREATE_H

#include "export.h"

KESTRIX_BEGIN_C

/** Opens the serial line, starts the base's protocol (the base enters its
 * passive mode) and asks for its mode. Returns 0 when the base answered with
 * one of its four modes (0 to 3) and nothing else, -1 when the line cannot be
 * opened or no valid answer came within 500 ms (the line is closed again). One try; calling it while connected reconnects.
 * The distance and angle totals start again from 0. */
KESTRIX_API int create_connect(void);

/** Closes the serial line. The base keeps doing what it was last told. */
KESTRIX_API void create_disconnect(void);

/** Puts the base in its safe mode (opcodes 128, 131), in which it obeys drive
 * commands but stops by itself at a cliff or when a wheel drops. */
KESTRIX_API void create_start(void);

/** Stops the wheels (a straight drive at 0 mm/s) and ends the base's protocol
 * (opcode 173); the base returns to its off mode. */
KESTRIX_API void create_stop(void);

/** @name Spinning */
///@{
/** Spins the base in place, each wheel at `speed` mm/s (clamped to -500..500;
 * a negative speed turns the other way), clockwise or counter-clockwise seen
 * from above. The base keeps spinning after the call returns. */
KESTRIX_API void create_spin_CW(int speed);
KESTRIX_API void create_spin_CCW(int speed);
///@}

/** Total distance in millimetres since create_connect: each call asks the base
 * for its mode and the distance since its previous report (query list of
 * packets 35 and 19) and adds the distance. A query without a valid answer
 * (no answer in time, a mode outside 0 to 3, or more bytes than the answer)
 * adds nothing. -1 while no base is connected (see above). */
KESTRIX_API int get_create_distance(void);

/** Total angle turned in degrees since create_connect, counter-clockwise
 * positive: as get_create_distance, with packet 20, the angle since the
 * previous report. -1 while no base is connected. */
KESTRIX_API int get_create_total_angle(void);

KESTRIX_END_C

/** @} */

#endif
