// A class graded in one command: kestrix-grade on 30 programs (copies of the
// table's examples, some of them as C sources to compile, and a few broken
// ones: a busy loop, a crash, motors left running, a compile error, one
// that does nothing) for 5 seeds each against "two pieces into the zone"
// (60 s simulated). Prints the wall time, the CPU time of everything it ran
// and the grade's table; asserts nothing about the time.
#include "launcher_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>

namespace {

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return std::remove(path);
}

void write(const std::string &path, const std::string &text, bool executable = false)
{
    std::ofstream(path) << text;
    if (executable)
        ::chmod(path.c_str(), 0755);
}

void copy(const std::string &from, const std::string &to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream(to, std::ios::binary) << in.rdbuf();
    ::chmod(to.c_str(), 0755);
}

} // namespace

int main(int argc, char **argv)
{
    const int jobs = argc > 1 ? std::atoi(argv[1]) : 2;
    char pattern[] = "/tmp/kestrix-bench-grade.XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    ::setenv("PKG_CONFIG_PATH", KESTRIX_BUILD_PKG_CONFIG, 1);

    std::vector<std::string> programs;
    const char *const built[] = {"push_two", "push_to_zone", "claw_carry"};
    for (int n = 0; n < 22; ++n) {
        const std::string name = folder + "/student" + std::to_string(n + 1);
        copy(std::string(KESTRIX_EXAMPLES) + "/" + built[n % 3], name);
        programs.push_back(name);
    }
    for (int n = 0; n < 3; ++n) {
        const std::string name = folder + "/source" + std::to_string(n + 1) + ".c";
        copy(std::string(KESTRIX_EXAMPLES_SOURCE) + "/push_two.c", name);
        programs.push_back(name);
    }
    const std::string motors = "#include <kestrix/motors.h>\n#include <kestrix/util.h>\n";
    write(folder + "/hang.c", "int main(void) { for (;;) {} }\n");
    write(folder + "/crash.c", motors + "#include <signal.h>\nint main(void) { mav(0, 400); msleep(2000); raise(SIGSEGV); }\n");
    write(folder + "/runaway.c", motors + "int main(void) { mav(0, 500); mav(1, 500); msleep(3000); return 0; }\n");
    write(folder + "/broken.c", "int main(void) { return undeclared; }\n");
    write(folder + "/idle.sh", "#!/bin/sh\necho ready\n", true);
    for (const char *name : {"hang.c", "crash.c", "runaway.c", "broken.c", "idle.sh"})
        programs.push_back(folder + "/" + name);

    std::vector<std::string> arguments = {KESTRIX_GRADE, "-j", std::to_string(jobs), "--seeds", "5", "--timeout", "5",
                                          "--out", folder + "/report", KESTRIX_CHALLENGE};
    arguments.insert(arguments.end(), programs.begin(), programs.end());
    const LauncherRun run = runLauncher(arguments);
    std::printf("kestrix-grade -j %d: %zu programs x 5 seeds of a 60 s challenge (--timeout 5): %.1f s real, "
                "%.1f s CPU, status %d\n", jobs, programs.size(), run.realSeconds, run.cpuSeconds,
                WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1);
    std::ifstream table(folder + "/report/results.csv");
    int passed = 0, rows = 0;
    std::string header;
    std::getline(table, header);
    for (std::string line; std::getline(table, line); ++rows)
        passed += line.find(",passed,") != std::string::npos;
    std::printf("runs: %d, passed: %d\n", rows, passed);
    ::nftw(folder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    return run.succeeded() ? 0 : 1;
}
