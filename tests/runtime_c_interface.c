/* The button, wait, thread and utility interface used from a strict C99
 * program through the shared library. The fake input device is linked in
 * front of the library with every key up. Exits non-zero on the first
 * failed check. */
#include <kestrix/button.h>
#include <kestrix/ir.h>
#include <kestrix/nyi.h>
#include <kestrix/thread.h>
#include <kestrix/wait_for.h>

#include <stdio.h>

static mutex s_lock;
static int s_runs;
static int s_trylockFromThread = -1;

/* Tries the mutex from a thread of its own, and gives back what it took. */
static void work(void)
{
    s_trylockFromThread = mutex_trylock(s_lock);
    if (s_trylockFromThread == 1)
        mutex_unlock(s_lock);
    ++s_runs;
}

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) {                                               \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            return 1;                                                     \
        }                                                                 \
    } while (0)

int main(void)
{
    thread t;

    CHECK(a_button() == 0 && side_button() == 0 && black_button() == 0);
    CHECK(any_button() == 0);
    CHECK(x_button_clicked() == 0);
    set_a_button_text("go");

    set_extra_buttons_visible(7);
    CHECK(get_extra_buttons_visible() == 1);
    extra_buttons_hide();
    CHECK(get_extra_buttons_visible() == 0);

    wait_for_milliseconds(1);

    s_lock = mutex_create();
    mutex_lock(s_lock);
    t = thread_create(work);
    CHECK(s_runs == 0);
    thread_start(t);
    thread_wait(t);
    CHECK(s_runs == 1);
    CHECK(s_trylockFromThread == 0);
    mutex_unlock(s_lock);
    thread_start(t);
    thread_wait(t);
    CHECK(s_runs == 2);
    CHECK(s_trylockFromThread == 1);
    /* The thread's unlock freed it again. */
    CHECK(mutex_trylock(s_lock) == 1);
    mutex_unlock(s_lock);
    thread_destroy(t);
    mutex_destroy(s_lock);

    nyi("c99");
    ir_read();
    ir_write();
    return 0;
}
