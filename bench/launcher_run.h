// One run of kestrix-sim for a bench: its real time (start-up included), the
// CPU time of everything it ran, its exit status and what it printed on
// standard error (the summary). Standard output is thrown away.
#ifndef KESTRIX_BENCH_LAUNCHER_RUN_H
#define KESTRIX_BENCH_LAUNCHER_RUN_H

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct LauncherRun
{
    double realSeconds = 0;
    double cpuSeconds = 0;
    int status = 0;     // as wait gives it
    std::string errors; // the launcher's standard error
    bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// Runs `arguments` (the launcher first) and waits for it.
inline LauncherRun runLauncher(std::vector<std::string> arguments)
{
    char errorsPath[] = "/tmp/kestrix-bench-XXXXXX";
    const int errors = ::mkstemp(errorsPath);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::dup2(errors, 2);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    LauncherRun run;
    rusage usage{};
    ::wait4(child, &run.status, 0, &usage);
    run.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                   + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::ifstream in(errorsPath);
    std::stringstream text;
    text << in.rdbuf();
    run.errors = text.str();
    ::close(errors);
    ::unlink(errorsPath);
    return run;
}

#endif
