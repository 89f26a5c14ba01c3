/* Threads that sleep and wait on the simulated clock in every way a program
 * can, printing what they saw as "name value" lines for test_sim_clock. The
 * first argument picks the scene. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

static double start;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int woken;

static double now(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double since(void)
{
    return now(CLOCK_MONOTONIC) - start;
}

static struct timespec at(clockid_t clock, double after)
{
    double t = now(clock) + after;
    struct timespec ts;
    ts.tv_sec = (time_t)t;
    ts.tv_nsec = (long)((t - (double)ts.tv_sec) * 1e9);
    return ts;
}

static void report(const char *name)
{
    pthread_mutex_lock(&lock);
    printf("%s %.6f %d\n", name, since(), ++woken);
    pthread_mutex_unlock(&lock);
}

/* ---- order: one sleeper per way of sleeping, each wakes at its deadline */

static void *by_nanosleep(void *unused)
{
    struct timespec d = {0, 300000000};
    nanosleep(&d, NULL);
    report("nanosleep");
    return unused;
}

static void *by_usleep(void *unused)
{
    usleep(100000);
    report("usleep");
    return unused;
}

static void *by_abstime(void *unused)
{
    struct timespec until = at(CLOCK_MONOTONIC, 0.2);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
    report("abstime");
    return unused;
}

static void *by_realtime_abstime(void *unused)
{
    struct timespec until = at(CLOCK_REALTIME, 0.35);
    clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, NULL);
    report("realtime_abstime");
    return unused;
}

static void *by_poll(void *unused)
{
    poll(NULL, 0, 250);
    report("poll");
    return unused;
}

static void *by_select(void *unused)
{
    struct timeval d = {0, 150000};
    select(0, NULL, NULL, NULL, &d);
    report("select");
    return unused;
}

static void *by_sleep(void *unused)
{
    sleep(1);
    report("sleep");
    return unused;
}

static void order(void)
{
    void *(*sleepers[])(void *) = {by_sleep, by_nanosleep, by_usleep, by_abstime, by_realtime_abstime, by_poll, by_select};
    pthread_t threads[7];
    int i;
    for (i = 0; i < 7; ++i)
        pthread_create(&threads[i], NULL, sleepers[i], NULL);
    for (i = 0; i < 7; ++i)
        pthread_join(threads[i], NULL);
}

/* ---- periods: threads with their own rhythms; each one's sleeps add up
 * exactly and no clock ever goes back */

static void *tick(void *period_us)
{
    long period = *(long *)period_us;
    double before = since(), wall = now(CLOCK_REALTIME);
    int backwards = 0, i;
    for (i = 0; i < 100; ++i) {
        usleep((useconds_t)period);
        if (since() < before || now(CLOCK_REALTIME) < wall)
            ++backwards;
        before = since();
        wall = now(CLOCK_REALTIME);
    }
    pthread_mutex_lock(&lock);
    printf("period%ld %.6f backwards %d\n", period, since(), backwards);
    pthread_mutex_unlock(&lock);
    return NULL;
}

static void periods(void)
{
    long rhythm[3] = {7000, 11000, 13000};
    pthread_t threads[3];
    int i;
    for (i = 0; i < 3; ++i)
        pthread_create(&threads[i], NULL, tick, &rhythm[i]);
    for (i = 0; i < 3; ++i)
        pthread_join(threads[i], NULL);
}

/* ---- waits: a condition signalled by another thread, one that times out,
 * a mutex held across a sleep */

static pthread_cond_t signal_me = PTHREAD_COND_INITIALIZER;
static int signalled;

static void *signaller(void *unused)
{
    usleep(1000000);
    pthread_mutex_lock(&lock);
    signalled = 1;
    pthread_cond_signal(&signal_me);
    pthread_mutex_unlock(&lock);
    return unused;
}

static void *holder(void *unused)
{
    pthread_mutex_lock(&lock);
    usleep(200000);
    pthread_mutex_unlock(&lock);
    return unused;
}

static void waits(void)
{
    pthread_t thread;
    pthread_condattr_t monotonic;
    pthread_cond_t never;
    struct timespec until;
    int rc;

    pthread_create(&thread, NULL, signaller, NULL);
    until = at(CLOCK_REALTIME, 5);
    pthread_mutex_lock(&lock);
    rc = 0;
    while (!signalled && rc == 0)
        rc = pthread_cond_timedwait(&signal_me, &lock, &until);
    pthread_mutex_unlock(&lock);
    printf("signalled %.6f %s\n", since(), rc == 0 ? "ok" : strerror(rc));
    pthread_join(thread, NULL);

    pthread_condattr_init(&monotonic);
    pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC);
    pthread_cond_init(&never, &monotonic);
    until = at(CLOCK_MONOTONIC, 0.5);
    pthread_mutex_lock(&lock);
    do
        rc = pthread_cond_timedwait(&never, &lock, &until);
    while (rc == 0);
    pthread_mutex_unlock(&lock);
    printf("timedout %.6f %s\n", since(), rc == ETIMEDOUT ? "ETIMEDOUT" : strerror(rc));

    pthread_create(&thread, NULL, holder, NULL);
    usleep(1000);
    pthread_mutex_lock(&lock);
    printf("locked %.6f\n", since());
    pthread_mutex_unlock(&lock);
    pthread_join(thread, NULL);
    printf("joined %.6f\n", since());
}

/* ---- blocked: a thread held where the simulator cannot see (a read on a
 * pipe nobody writes yet) must not stop the others' clock for good */

static int pipe_ends[2];

static void *reader(void *unused)
{
    char byte;
    if (read(pipe_ends[0], &byte, 1) != 1)
        perror("read");
    return unused;
}

static void blocked(void)
{
    pthread_t thread;
    int i;
    if (pipe(pipe_ends) != 0)
        return;
    pthread_create(&thread, NULL, reader, NULL);
    for (i = 0; i < 5; ++i)
        usleep(100000);
    printf("slept %.6f\n", since());
    if (write(pipe_ends[1], "x", 1) != 1)
        perror("write");
    pthread_join(thread, NULL);
}

int main(int argc, char **argv)
{
    const char *scene = argc > 1 ? argv[1] : "";
    start = now(CLOCK_MONOTONIC);
    if (strcmp(scene, "order") == 0)
        order();
    else if (strcmp(scene, "periods") == 0)
        periods();
    else if (strcmp(scene, "waits") == 0)
        waits();
    else if (strcmp(scene, "blocked") == 0)
        blocked();
    else {
        fprintf(stderr, "usage: sim_clock_probe order|periods|waits|blocked\n");
        return 2;
    }
    printf("end %.6f\n", since());
    return 0;
}
