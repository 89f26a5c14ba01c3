// How fast robot programs run in a world: simulated seconds per real second
// under kestrix-sim at --speed max, each program on its world as shipped
// (with its realism) and on an exact copy of it ("realism": false), and the
// line follower also without a world; and a match of two robots beside one.
//
//   bench_world [simulated-seconds]     (default 120 for the line follower; five rounds each)
//
// Each figure is the median of five runs, the variants of one program taken
// in turn, so that a burst of load on a shared machine hits them alike. Real
// time is the launcher's whole run, start-up included; CPU time is the
// program's user and system time.
#include "launcher_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct Figures
{
    double realSeconds = 0;
    double cpuSeconds = 0;
    double simulatedSeconds = 0;
};

// The simulated seconds of the summary's first line ("after 12.345 s simulated").
double simulatedIn(const std::string &summary)
{
    std::smatch match;
    return std::regex_search(summary, match, std::regex(R"(after ([0-9.]+) s simulated)")) ? std::stod(match[1]) : 0;
}

Figures run(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {KESTRIX_SIM_LAUNCHER, "--speed", "max", "--seed", "1"});
    const LauncherRun done = runLauncher(arguments);
    const Figures figures{done.realSeconds, done.cpuSeconds, simulatedIn(done.errors)};
    if (!done.succeeded() || figures.simulatedSeconds <= 0) {
        std::fprintf(stderr, "bench_world: kestrix-sim failed (status %d):\n%s", done.status, done.errors.c_str());
        std::exit(1);
    }
    return figures;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The world file with its realism turned off, written next to /tmp.
std::string exactCopy(const std::string &world)
{
    std::ifstream in(world);
    std::stringstream text;
    text << in.rdbuf();
    const std::string exact = std::regex_replace(text.str(), std::regex(R"("realism"\s*:\s*true)"), "\"realism\": false");
    const std::string path = "/tmp/bench-world-exact-" + std::to_string(::getpid()) + "-"
                           + world.substr(world.rfind('/') + 1);
    std::ofstream(path) << exact;
    return path;
}

struct Variant
{
    const char *label;
    std::vector<std::string> arguments;
    std::vector<double> perReal, perCpu;
};

void bench(const char *title, std::vector<Variant> variants, double goal)
{
    constexpr int Rounds = 5;
    for (int round = 0; round < Rounds; ++round)
        for (Variant &v : variants) {
            const Figures f = run(v.arguments);
            v.perReal.push_back(f.simulatedSeconds / f.realSeconds);
            v.perCpu.push_back(f.simulatedSeconds / f.cpuSeconds);
        }
    std::printf("%s, --speed max, median of %d runs\n", title, Rounds);
    for (const Variant &v : variants)
        std::printf("  %-22s %7.0f simulated s per real s (%7.0f per CPU s)\n", v.label, median(v.perReal),
                    median(v.perCpu));
    const double shipped = median(variants[0].perReal), exact = median(variants[1].perReal);
    std::printf("  realism keeps %.0f %% of the exact world's speed; %.0f x real time (goal: at least %.0f x)\n",
                100 * shipped / exact, shipped, goal);
}

// A match of two push_to_zone robots on table.json beside one robot alone:
// the match's simulated time is its first robot's.
void benchMatch(const std::string &table)
{
    constexpr int Rounds = 5;
    const std::string robot = KESTRIX_EXAMPLES "/push_to_zone";
    std::vector<Variant> variants = {
        {"one robot", {"--duration", "16", "--world", table, robot}, {}, {}},
        {"a match of two", {"--duration", "16", "--world", table, "--robot", robot, "--robot", robot}, {}, {}}};
    for (int round = 0; round < Rounds; ++round)
        for (Variant &v : variants) {
            const Figures f = run(v.arguments);
            v.perReal.push_back(f.simulatedSeconds / f.realSeconds);
            v.perCpu.push_back(f.simulatedSeconds / f.cpuSeconds);
        }
    std::printf("push_to_zone on table.json, alone and in a match of two, --speed max, median of %d runs\n", Rounds);
    for (const Variant &v : variants)
        std::printf("  %-22s %7.0f simulated s per real s (%7.0f per CPU s)\n", v.label, median(v.perReal),
                    median(v.perCpu));
    std::printf("  the match runs at %.0f x real time (goal: at least 100 x)\n", median(variants[1].perReal));
}

} // namespace

int main(int argc, char **argv)
{
    const std::string duration = argc > 1 ? argv[1] : "120";
    if (!(std::atof(duration.c_str()) > 0)) {
        std::fprintf(stderr, "usage: bench_world [simulated-seconds]\n");
        return 2;
    }
    const std::string line = KESTRIX_WORLDS "/line.json", table = KESTRIX_WORLDS "/table.json";
    const std::string exactLine = exactCopy(line), exactTable = exactCopy(table);
    bench(("line_follower, " + duration + " s simulated").c_str(),
          {{"on line.json", {"--duration", duration, "--world", line, KESTRIX_EXAMPLES "/line_follower"}, {}, {}},
           {"on line.json, exact", {"--duration", duration, "--world", exactLine, KESTRIX_EXAMPLES "/line_follower"}, {}, {}},
           {"without a world", {"--duration", duration, KESTRIX_EXAMPLES "/line_follower"}, {}, {}}},
          500);
    bench("push_to_zone on table.json, to its end",
          {{"on table.json", {"--world", table, KESTRIX_EXAMPLES "/push_to_zone"}, {}, {}},
           {"on table.json, exact", {"--world", exactTable, KESTRIX_EXAMPLES "/push_to_zone"}, {}, {}}},
          300);
    bench("claw_carry on table.json, to its end",
          {{"on table.json", {"--world", table, KESTRIX_EXAMPLES "/claw_carry"}, {}, {}},
           {"on table.json, exact", {"--world", exactTable, KESTRIX_EXAMPLES "/claw_carry"}, {}, {}}},
          300);
    benchMatch(table);
    ::unlink(exactLine.c_str());
    ::unlink(exactTable.c_str());
    return 0;
}
