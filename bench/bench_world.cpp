// How fast a robot program runs in a world: simulated seconds per real second
// for examples/line_follower under kestrix-sim at --speed max, on
// sim/worlds/line.json and without a world.
//
//   bench_world [simulated-seconds]     (default 120, five rounds each)
//
// Each figure is the median of five runs, alternating with and without the
// world, so that a burst of load on a shared machine hits both alike. Real
// time is the launcher's whole run, start-up included; CPU time is the
// program's user and system time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Figures
{
    double realSeconds = 0;
    double cpuSeconds = 0;
};

Figures run(const std::string &duration, bool withWorld)
{
    std::vector<std::string> arguments{KESTRIX_SIM_LAUNCHER, "--speed", "max", "--duration", duration};
    if (withWorld) {
        arguments.push_back("--world");
        arguments.push_back(KESTRIX_LINE_WORLD);
    }
    arguments.push_back(KESTRIX_LINE_FOLLOWER);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Figures figures;
    figures.realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                       + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_world: kestrix-sim failed (status %d)\n", status);
        std::exit(1);
    }
    return figures;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const std::string duration = argc > 1 ? argv[1] : "120";
    const double simulated = std::atof(duration.c_str());
    if (!(simulated > 0)) {
        std::fprintf(stderr, "usage: bench_world [simulated-seconds]\n");
        return 2;
    }
    constexpr int Rounds = 5;
    std::vector<double> worldReal, worldCpu, bareReal, bareCpu;
    for (int round = 0; round < Rounds; ++round) {
        const Figures world = run(duration, true);
        const Figures bare = run(duration, false);
        worldReal.push_back(simulated / world.realSeconds);
        worldCpu.push_back(simulated / world.cpuSeconds);
        bareReal.push_back(simulated / bare.realSeconds);
        bareCpu.push_back(simulated / bare.cpuSeconds);
    }
    const double withWorld = median(worldReal), without = median(bareReal);
    std::printf("line_follower, %s s simulated, --speed max, median of %d runs\n", duration.c_str(), Rounds);
    std::printf("  on line.json:     %7.0f simulated s per real s (%7.0f per CPU s)\n", withWorld, median(worldCpu));
    std::printf("  without a world:  %7.0f simulated s per real s (%7.0f per CPU s)\n", without, median(bareCpu));
    std::printf("  the world keeps %.0f %% of the speed (goal: more than 50 %%)\n", 100 * withWorld / without);
    std::printf("  line follower at %.0f x real time (goal: at least 500 x)\n", withWorld);
    return 0;
}
