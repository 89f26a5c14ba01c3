/* The robot program kestrix-run's tests start: `exit N` exits with N,
 * `raise N` dies of signal N, `wait` prints "waiting" and waits for a signal
 * with the default handling of every signal. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "exit") == 0)
        return atoi(argv[2]);
    if (argc == 3 && strcmp(argv[1], "raise") == 0) {
        signal(atoi(argv[2]), SIG_DFL);
        raise(atoi(argv[2]));
        return 100;
    }
    if (argc == 2 && strcmp(argv[1], "wait") == 0) {
        puts("waiting");
        fflush(stdout);
        for (;;)
            pause();
    }
    fputs("usage: run_child exit N | raise N | wait\n", stderr);
    return 99;
}
