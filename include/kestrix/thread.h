/** @file
 * @addtogroup thread Threads and mutexes
 * Threads and mutexes behind opaque handles.
 *
 * A thread runs a plain function on a thread of its own:
 *   thread_create -> thread_start -> thread_wait -> thread_destroy.
 * A mutex: mutex_create, then lock/trylock/unlock from any threads, then
 * mutex_destroy once nobody holds or waits for it.
 * The caller owns every handle it creates and destroys it exactly once;
 * nothing is freed automatically. Nothing here reports failure.
 * @{ */
#ifndef KESTRIX_THREAD_H
#define KESTRIX_THREAD_H

#include "export.h"

KESTRIX_BEGIN_C

/** A mutex handle, copied by value; made by mutex_create(). */
typedef struct kestrix_mutex
{
    void *ptr; /**< The library's mutex; opaque. */
} mutex;

/** A thread handle, copied by value; made by thread_create(). */
typedef struct kestrix_thread
{
    void *ptr; /**< The library's thread; opaque. */
} thread;

/** A new, unlocked mutex. */
KESTRIX_API mutex mutex_create(void);
/** Blocks until the caller holds the mutex. */
KESTRIX_API void mutex_lock(mutex m);
/** @name Trying a mutex */
///@{
/** Takes the mutex if it is free: 1 if the caller now holds it, else 0 at
 * once. */
KESTRIX_API int mutex_trylock(mutex m);
KESTRIX_API void mutex_unlock(mutex m);
///@}
/** Frees the mutex; a null handle does nothing. */
KESTRIX_API void mutex_destroy(mutex m);

/** A thread for `func`, not started: `func` is not called yet. */
KESTRIX_API thread thread_create(void (*func)(void));
/** Runs `func` on a new thread and returns at once. While it is still
 * running a second start does nothing; once it has returned, a start runs
 * it again. */
KESTRIX_API void thread_start(thread t);
/** Returns once `func` has returned (at once when it is not running). */
KESTRIX_API void thread_wait(thread t);
/** Releases the handle without waiting for or stopping the thread: a
 * function still running runs on to its end, and its thread is freed when
 * it returns. A null handle does nothing. */
KESTRIX_API void thread_destroy(thread t);

KESTRIX_END_C

/** @} */

#endif
