// A challenge's run: what it draws from its seed, the world and the script
// it is run with, the trace it is scored from, and the end of it.
#include "challenge/challenge_run.h"

#include "model/scratch_folder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kxsim {

namespace {

// A uniform draw in [0, 1) that every standard library gives alike, so a
// seed means the same start everywhere.
double uniform(std::mt19937_64 &random)
{
    return double(random() >> 11) * 0x1.0p-53;
}

double draw(std::mt19937_64 &random, const std::optional<Range> &range, double otherwise)
{
    const double u = uniform(random); // drawn either way: each value keeps its place in the sequence
    return range ? range->low + u * (range->high - range->low) : otherwise;
}

bool writeFile(const std::string &path, const std::string &text, std::string &error)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// The launcher ends with exit() on a program that cannot start, after the
// run's folder was made: no destructor runs then, this does.
std::string s_runFolder;

void removeRunFolder()
{
    if (!s_runFolder.empty())
        ::nftw(s_runFolder.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
    s_runFolder.clear();
}

// A motor the program left commanded to turn: PWM forward or backward with
// a duty, a velocity to hold, or a position not yet reached.
bool commandedToRun(const ControllerStatus &status, int m)
{
    const int mode = (status.modes >> (2 * m)) & 3;
    const int direction = (status.directions >> (2 * m)) & 3;
    if (mode == 1)
        return status.motorVelocity[m] != 0;
    if (mode == 3)
        return ((status.motorStatus >> m) & 1) == 0;
    return (direction == 1 || direction == 2) && status.motorDuty[m] > 0;
}

std::vector<std::string> split(const std::string &line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
}

} // namespace

Variation drawVariation(const Challenge &challenge, std::uint64_t seed)
{
    std::mt19937_64 random(seed ^ 0x6b657374726978ULL);
    Variation variation;
    const Pose &start = challenge.world.robot.start;
    variation.start.x = draw(random, challenge.startX, start.x);
    variation.start.y = draw(random, challenge.startY, start.y);
    variation.start.headingDeg = draw(random, challenge.startHeading, start.headingDeg);
    const double volts = draw(random, challenge.battery, 0);
    if (challenge.battery)
        variation.batteryVolts = volts;
    return variation;
}

std::string worldForRun(const Challenge &challenge, const Variation &variation)
{
    nlohmann::json world = nlohmann::json::parse(challenge.worldText);
    // A match's robots start at the world's poses, one each.
    if (challenge.match())
        return world.dump(2) + "\n";
    // A world that lists its robots gives the first one's start.
    nlohmann::json &robot = world.contains("robots") ? world["robots"][0] : world["robot"];
    robot["start"] = {{"x", variation.start.x}, {"y", variation.start.y}, {"heading_deg", variation.start.headingDeg}};
    return world.dump(2) + "\n";
}

std::string scriptForRun(const Challenge &challenge, const Variation &variation)
{
    std::string script;
    if (variation.batteryVolts) {
        char line[64];
        std::snprintf(line, sizeof line, "0 battery %.3f\n", *variation.batteryVolts);
        script += line;
    }
    for (const std::string &step : challenge.startSteps)
        script += step + "\n";
    return script;
}

bool readTrace(const std::string &path, const World &world, std::vector<Sample> &samples, std::string &error,
               const std::string &prefix)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        error = "cannot read the run's trace " + path;
        return false;
    }
    std::map<std::string, std::size_t> column;
    const std::vector<std::string> header = split(line);
    for (std::size_t n = 0; n < header.size(); ++n)
        column[header[n]] = n;
    auto index = [&](const std::string &name, std::size_t &at) {
        const auto found = column.find(name);
        if (found == column.end())
            return false;
        at = found->second;
        return true;
    };
    std::size_t time = 0, motors[4] = {}, digital[16] = {}, analog[6] = {}, x = 0, y = 0, heading = 0;
    std::vector<std::size_t> pieceX(world.pieces.size()), pieceY(world.pieces.size());
    const std::string &p = prefix;
    bool complete = index("time", time) && index(p + "x_m", x) && index(p + "y_m", y)
                    && index(p + "heading_deg", heading);
    for (int n = 0; n < 4; ++n)
        complete = complete && index(p + "m" + std::to_string(n) + "_speed", motors[n]);
    for (int n = 0; n < 16; ++n)
        complete = complete && index(p + "d" + std::to_string(n), digital[n]);
    for (int n = 0; n < 6; ++n)
        complete = complete && index(p + "a" + std::to_string(n), analog[n]);
    for (std::size_t n = 0; n < world.pieces.size(); ++n)
        complete = complete && index("piece" + std::to_string(n) + "_x_m", pieceX[n])
                   && index("piece" + std::to_string(n) + "_y_m", pieceY[n]);
    if (!complete) {
        error = "the trace " + path + " is not of this challenge's world";
        return false;
    }
    samples.clear();
    while (std::getline(file, line)) {
        const std::vector<std::string> fields = split(line);
        if (fields.size() != header.size())
            continue; // a row the disk cut short
        auto value = [&](std::size_t at) { return std::strtod(fields[at].c_str(), nullptr); };
        Sample sample;
        sample.time = value(time);
        for (int n = 0; n < 4; ++n)
            sample.motorSpeed[n] = value(motors[n]);
        for (int n = 0; n < 16; ++n)
            sample.digital |= unsigned(value(digital[n]) != 0) << n;
        for (int n = 0; n < 6; ++n)
            sample.analog[n] = int(value(analog[n]));
        sample.pose = {value(x), value(y), value(heading)};
        for (std::size_t n = 0; n < world.pieces.size(); ++n)
            sample.pieces.push_back({value(pieceX[n]), value(pieceY[n])});
        samples.push_back(std::move(sample));
    }
    return true;
}

// ---- The run -------------------------------------------------------------------

ChallengeRun::~ChallengeRun()
{
    consoles_.clear();
    if (!folder_.empty())
        removeRunFolder();
}

bool ChallengeRun::openConsoles(std::size_t programs, std::string &error)
{
    for (std::size_t n = 0; n < programs; ++n) {
        consoles_.push_back(std::make_unique<ChallengeConsole>());
        if (!consoles_.back()->open(error))
            return false;
    }
    return true;
}

bool ChallengeRun::prepare(const std::string &file, std::uint64_t seed, const std::string &trace, std::string &error)
{
    seed_ = seed;
    if (!loadChallenge(file, challenge_, error))
        return false;
    const std::string folder = makeScratchFolder("kestrix-challenge");
    if (folder.empty()) {
        error = std::string("cannot create a folder for the run: ") + std::strerror(errno);
        return false;
    }
    folder_ = s_runFolder = folder;
    static const bool registered = std::atexit(removeRunFolder) == 0;
    (void)registered;
    const Variation variation = drawVariation(challenge_, seed);
    // The copy keeps the world's name, which the picture shows.
    world_ = folder_ + "/" + challenge_.worldFile;
    script_ = folder_ + "/start.txt";
    trace_ = trace.empty() ? folder_ + "/trace.csv" : trace;
    return writeFile(world_, worldForRun(challenge_, variation), error)
           && writeFile(script_, scriptForRun(challenge_, variation), error);
}

RunRecord ChallengeRun::record(const SimStatus &status, int waitStatus, std::size_t program, const std::string &prefix)
{
    RunRecord run;
    if (program < consoles_.size()) {
        consoles_[program]->stop();
        run.console = consoles_[program]->lines();
    }
    run.endTime = double(status.simulatedUs.load()) / 1e6;
    run.endedByLimit = status.endedByDuration.load() != 0;
    if (run.endedByLimit)
        run.ending = "reached the time limit";
    else if (WIFEXITED(waitStatus))
        run.ending = "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    else
        run.ending = "was killed by signal " + std::to_string(WTERMSIG(waitStatus)) + " ("
                     + strsignal(WTERMSIG(waitStatus)) + ")";
    const ControllerStatus controller = status.snapshot();
    for (int m = 0; m < 4; ++m)
        run.motorRunningAtEnd[m] = status.magic == SimStatus::Magic && commandedToRun(controller, m);
    std::string error;
    // A program that ran without the simulator (linked statically) leaves
    // no trace: it scores nothing, and the rules say so.
    if (!readTrace(trace_, challenge_.world, run.samples, error, prefix))
        run.samples.clear();
    if (!run.samples.empty())
        run.endTime = std::max(run.endTime, run.samples.back().time);
    return run;
}

int ChallengeRun::finish(const SimStatus &status, int waitStatus, const std::string &program,
                         const std::string &report)
{
    const RunRecord run = record(status, waitStatus, 0, "");
    const Score result = score(challenge_, run);
    std::fputs(describeScore(challenge_, result, seed_).c_str(), stderr);
    std::string error;
    if (!report.empty() && !writeFile(report, reportJson(challenge_, result, run, program, seed_), error)) {
        std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
        return 74;
    }
    return result.passed ? ChallengePassed : ChallengeFailed;
}

int ChallengeRun::finishMatch(const std::vector<const SimStatus *> &status, const std::vector<int> &waitStatus,
                              const std::vector<std::string> &programs, const std::string &report)
{
    std::vector<RunRecord> runs;
    for (std::size_t r = 0; r < status.size(); ++r)
        runs.push_back(record(*status[r], waitStatus[r], r, "r" + std::to_string(r + 1) + "_"));
    const MatchScore result = scoreMatch(challenge_, runs);
    std::fputs(describeMatch(challenge_, result, programs, seed_).c_str(), stderr);
    std::string error;
    if (!report.empty() && !writeFile(report, matchReportJson(challenge_, result, runs, programs, seed_), error)) {
        std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
        return 74;
    }
    for (const Score &side : result.sides)
        if (!side.passed)
            return ChallengeFailed;
    return ChallengePassed;
}

} // namespace kxsim
