/* kestrix-run PROGRAM [ARGS...]: runs a robot program as a child and, however
 * the child ends, stops the four motors and disables the servos through the
 * library before exiting with the child's status.
 *
 * The library is touched only after the child has ended: while it runs, the
 * child owns the coprocessor link, and an exchange of ours in the middle of
 * its traffic would only disturb it. */
/* pipe2, and SI_KERNEL to tell a terminal's signals from others. */
#define _GNU_SOURCE

#include <kestrix/motors.h>
#include <kestrix/servo.h>
#include <kestrix/version.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* What the shell answers for a program it cannot start. */
enum { StatusUsage = 2, StatusNotExecutable = 126, StatusNotFound = 127 };

static const int Forwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
#define FORWARDED_COUNT (sizeof Forwarded / sizeof Forwarded[0])

static volatile pid_t s_child = 0;

static void usage(FILE *out)
{
    fputs("Usage: kestrix-run [OPTION] PROGRAM [ARGS...]\n"
          "Run PROGRAM with ARGS as a child process. However it ends (it exits,\n"
          "crashes or is killed by any signal, SIGKILL included), turn the four\n"
          "motors off and disable the four servos, then exit with its status.\n"
          "\n"
          "Options:\n"
          "  -h, --help     print this help and exit\n"
          "      --version  print the version and exit\n"
          "  --             end of options (for a PROGRAM starting with '-')\n"
          "\n"
          "SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to kestrix-run are passed on to\n"
          "PROGRAM (Ctrl-C in a terminal reaches it directly, and only once).\n"
          "PROGRAM never outlives kestrix-run: it gets SIGTERM should kestrix-run\n"
          "end first. PROGRAM is looked up in PATH unless it contains a '/'.\n"
          "\n"
          "Exit status: PROGRAM's own status; 128 + N when signal N ended it;\n"
          "126 when PROGRAM cannot be executed, 127 when it is not found, 2 for\n"
          "bad usage.\n"
          "\n"
          "Example, on the simulated controller:\n"
          "  kestrix-sim --duration 10 kestrix-run ./my_robot --fast\n",
          out);
}

static void forward(int signal, siginfo_t *info, void *context)
{
    (void)context;
    /* A terminal sends its Ctrl-C to the whole foreground group, child
     * included: passing it on would deliver it twice. */
    if (info != NULL && info->si_code == SI_KERNEL)
        return;
    if (s_child > 0)
        kill(s_child, signal);
}

/* The child's side: default signal handling, then the program. On failure
 * the errno goes back through `report` (closed on exec when all is well). */
static void runChild(char **argv, int report, pid_t parent)
{
    /* The program never outlives its supervisor: should kestrix-run end
     * first (killed, or ended from outside as a simulator's --duration
     * does), nothing would stop the motors after the program. */
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(StatusNotFound);
    sigset_t none;
    for (size_t i = 0; i < FORWARDED_COUNT; ++i)
        signal(Forwarded[i], SIG_DFL);
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    execvp(argv[0], argv);
    const int error = errno;
    ssize_t written;
    do
        written = write(report, &error, sizeof error);
    while (written < 0 && errno == EINTR);
    _exit(StatusNotFound);
}

static int exitStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

int main(int argc, char **argv)
{
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        const char *option = argv[first];
        if (strcmp(option, "--") == 0) {
            ++first;
            break;
        }
        if (strcmp(option, "-h") == 0 || strcmp(option, "--help") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(option, "--version") == 0) {
            printf("kestrix-run %s (libkestrix %s)\n", KESTRIX_VERSION_STRING, kestrix_version());
            return 0;
        }
        fprintf(stderr, "kestrix-run: unknown option '%s' (try kestrix-run --help)\n", option);
        return StatusUsage;
    }
    if (first >= argc) {
        fputs("kestrix-run: no program given (try kestrix-run --help)\n", stderr);
        return StatusUsage;
    }
    char **program = argv + first;

    /* Blocked from before the fork until the child's pid is known, so a
     * signal that comes early is forwarded instead of lost. */
    sigset_t forwarded, previous;
    sigemptyset(&forwarded);
    for (size_t i = 0; i < FORWARDED_COUNT; ++i)
        sigaddset(&forwarded, Forwarded[i]);
    sigprocmask(SIG_BLOCK, &forwarded, &previous);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = forward;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < FORWARDED_COUNT; ++i)
        sigaction(Forwarded[i], &action, NULL);

    /* Closed by a successful exec: the parent then reads nothing from it. */
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        fprintf(stderr, "kestrix-run: cannot create a pipe: %s\n", strerror(errno));
        return 1;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "kestrix-run: cannot start a process: %s\n", strerror(errno));
        return 1;
    }
    if (child == 0) {
        close(report[0]);
        runChild(program, report[1], parent);
    }
    s_child = child;
    sigprocmask(SIG_SETMASK, &previous, NULL);
    close(report[1]);

    int execError = 0;
    ssize_t got;
    do
        got = read(report[0], &execError, sizeof execError);
    while (got < 0 && errno == EINTR);
    close(report[0]);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            fprintf(stderr, "kestrix-run: lost the child: %s\n", strerror(errno));
            status = 0;
            break;
        }
    }

    if (got == (ssize_t)sizeof execError) {
        /* Nothing ran, so nothing was set going: the link is left alone. */
        fprintf(stderr, "kestrix-run: cannot run %s: %s\n", program[0], strerror(execError));
        return execError == ENOENT || execError == ENOTDIR ? StatusNotFound : StatusNotExecutable;
    }

    alloff();
    disable_servos();
    return exitStatus(status);
}
