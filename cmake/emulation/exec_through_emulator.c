/* Preloaded into every program that runs under user-mode emulation in a cross
 * build. The emulator runs one program; when that program starts another
 * target program with exec (GoogleTest's death tests re-execute the test
 * binary, kestrix-sim starts the robot program), the kernel of the build
 * machine cannot run it on its own. This turns such an exec into an exec of
 * the emulator with the same program, arguments and environment, and keeps
 * itself preloaded in the new program.
 *
 * KESTRIX_EMULATOR (host path of the emulator), KESTRIX_EMULATOR_ROOT (the
 * target's library root) and KESTRIX_ELF_MACHINE (the target's e_machine) are
 * given on the compiler's command line. Only raw system calls are used before
 * the exec: the caller may be a freshly forked child of a threaded program,
 * and the test programs interpose open and close. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

typedef int (*ExecveFn)(const char *, char *const[], char *const[]);

static const char s_preloadKey[] = "LD_PRELOAD=";

/* Set up at load time, on an ordinary stack: GoogleTest's death-test child
 * calls exec on a stack of a page or two. Static buffers are safe for the
 * same reason the exec is: the caller is a process of its own (forked, or a
 * thread about to replace the whole process). */
static ExecveFn s_execve;
static char s_self[PATH_MAX];
static char s_preloadArg[PATH_MAX * 4];
static char s_candidate[PATH_MAX];

/* Drops this library from the LD_PRELOAD that the program hands on: a program
 * of the build machine that it starts without exec (system, popen, spawn) must
 * not be asked to preload a library of the target. execve() adds it back for
 * target programs. */
static void dropSelfFromPreload(void)
{
    const char *list = getenv("LD_PRELOAD");
    if (list == NULL || s_self[0] == '\0')
        return;
    char rest[sizeof s_preloadArg];
    size_t used = 0;
    for (const char *item = list; *item != '\0';) {
        const char *end = strchrnul(item, ':');
        const size_t len = (size_t)(end - item);
        const int isSelf = len == strlen(s_self) && strncmp(item, s_self, len) == 0;
        if (len > 0 && !isSelf && used + len + 2 < sizeof rest) {
            if (used > 0)
                rest[used++] = ':';
            memcpy(rest + used, item, len);
            used += len;
        }
        item = *end == ':' ? end + 1 : end;
    }
    rest[used] = '\0';
    if (used == 0)
        unsetenv("LD_PRELOAD");
    else
        setenv("LD_PRELOAD", rest, 1);
}

__attribute__((constructor)) static void setUp(void)
{
    s_execve = (ExecveFn)dlsym(RTLD_NEXT, "execve");
    Dl_info info;
    if (dladdr((void *)&setUp, &info) != 0 && info.dli_fname != NULL
        && strlen(info.dli_fname) < sizeof s_self)
        strcpy(s_self, info.dli_fname);
    dropSelfFromPreload();
}

static int isTargetProgram(const char *path)
{
    const long fd = syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    Elf32_Ehdr header;
    const long got = syscall(SYS_read, fd, &header, sizeof header);
    syscall(SYS_close, fd);
    return got == (long)sizeof header
        && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0
        && header.e_ident[EI_CLASS] == ELFCLASS32
        && header.e_machine == KESTRIX_ELF_MACHINE;
}

/* Appends `text` to s_preloadArg at `*used`; 0 when it does not fit. */
static int append(size_t *used, const char *text)
{
    const size_t len = strlen(text);
    if (*used + len >= sizeof s_preloadArg)
        return 0;
    memcpy(s_preloadArg + *used, text, len + 1);
    *used += len;
    return 1;
}

int execve(const char *path, char *const argv[], char *const envp[])
{
    if (s_execve == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (!isTargetProgram(path))
        return s_execve(path, argv, envp);

    size_t argc = 0;
    while (argv[argc] != NULL)
        ++argc;
    size_t envc = 0;
    while (envp != NULL && envp[envc] != NULL)
        ++envc;

    /* The emulator is a program of the build machine: it must not preload
     * target libraries itself; it hands the list on to the target program,
     * with this library in it so that the next exec is handled too. */
    const char *preload = NULL;
    char *hostEnv[envc + 1];
    size_t kept = 0;
    for (size_t i = 0; i < envc; ++i) {
        if (strncmp(envp[i], s_preloadKey, sizeof s_preloadKey - 1) == 0)
            preload = envp[i] + sizeof s_preloadKey - 1;
        else
            hostEnv[kept++] = envp[i];
    }
    hostEnv[kept] = NULL;

    size_t used = 0;
    int fits = append(&used, s_preloadKey);
    if (s_self[0] != '\0' && (preload == NULL || strstr(preload, s_self) == NULL)) {
        fits = fits && append(&used, s_self);
        if (preload != NULL && *preload != '\0')
            fits = fits && append(&used, ":");
    }
    if (preload != NULL)
        fits = fits && append(&used, preload);
    if (!fits) {
        errno = E2BIG;
        return -1;
    }

    char *emulated[argc + 9];
    size_t n = 0;
    emulated[n++] = (char *)KESTRIX_EMULATOR;
    emulated[n++] = (char *)"-L";
    emulated[n++] = (char *)KESTRIX_EMULATOR_ROOT;
    emulated[n++] = (char *)"-0";
    emulated[n++] = (char *)(argc > 0 ? argv[0] : path);
    emulated[n++] = (char *)"-E";
    emulated[n++] = s_preloadArg;
    emulated[n++] = (char *)path;
    for (size_t i = 1; i < argc; ++i)
        emulated[n++] = argv[i];
    emulated[n] = NULL;
    return s_execve(KESTRIX_EMULATOR, emulated, hostEnv);
}

int execv(const char *path, char *const argv[])
{
    return execve(path, argv, environ);
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
    if (*file == '\0') {
        errno = ENOENT;
        return -1;
    }
    if (strchr(file, '/') != NULL)
        return execve(file, argv, envp);
    const char *search = getenv("PATH");
    if (search == NULL)
        search = "/bin:/usr/bin";
    int error = ENOENT;
    for (const char *dir = search;; ) {
        const char *end = strchrnul(dir, ':');
        const size_t dirLen = (size_t)(end - dir);
        const size_t fileLen = strlen(file);
        if (dirLen + 1 + fileLen < sizeof s_candidate) {
            memcpy(s_candidate, dir, dirLen);
            size_t at = dirLen;
            if (dirLen > 0)
                s_candidate[at++] = '/';
            memcpy(s_candidate + at, file, fileLen + 1);
            if (access(s_candidate, X_OK) == 0) {
                execve(s_candidate, argv, envp);
                error = errno;
            }
        }
        if (*end == '\0')
            break;
        dir = end + 1;
    }
    errno = error;
    return -1;
}

int execvp(const char *file, char *const argv[])
{
    return execvpe(file, argv, environ);
}
