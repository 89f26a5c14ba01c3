/* Preloaded into kestrix-sim by a test: any allocation in a child the
 * launcher forks, before that child executes a program, ends the child with
 * status 99 and a line saying so. The launcher forks while its panel's
 * thread may hold the allocator's lock; such a child would hang there. */
#define _GNU_SOURCE
#include <stddef.h>
#include <pthread.h>
#include <unistd.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *memory, size_t size);

static volatile int s_forked;

static void forked(void)
{
    s_forked = 1;
}

__attribute__((constructor)) static void watch(void)
{
    pthread_atfork(NULL, NULL, forked);
}

static void allocated(void)
{
    if (s_forked) {
        static const char line[] = "fork probe: allocation in a forked child before exec\n";
        (void)!write(2, line, sizeof line - 1);
        _exit(99);
    }
}

void *malloc(size_t size)
{
    allocated();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    allocated();
    return __libc_calloc(count, size);
}

void *realloc(void *memory, size_t size)
{
    allocated();
    return __libc_realloc(memory, size);
}
