// Challenges: the file's reader and its refusals, the rules on runs of the
// test's own making, and kestrix-sim --challenge on the shipped examples.
#include "challenge/challenge.h"

#include "emulation.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace kxsim;

const char *const Field = R"("world": {"field": {"width": 2, "height": 1, "border": true},
  "pieces": [{"shape": "disc", "x": 0.5, "y": 0.5, "name": "puck"}, {"shape": "box", "x": 1.5, "y": 0.5}],
  "zones": [{"name": "goal", "area": [1.6, 0.0, 2.0, 1.0]}],
  "robot": {"start": {"x": 1, "y": 0.5}}})";

Challenge parsed(const std::string &rules, std::string extra = "")
{
    Challenge challenge;
    std::string error;
    const std::string text = std::string("{") + Field + ", \"time_limit\": 10, " + extra + " \"rules\": [" + rules
                             + "], \"pass\": 10}";
    EXPECT_TRUE(parseChallenge(text, "c.json", challenge, error)) << error;
    return challenge;
}

// A run of rows 0.1 s apart from `poses` (x, y), the pieces where the world put them.
RunRecord runThrough(const Challenge &challenge, const std::vector<Point> &poses)
{
    RunRecord run;
    for (std::size_t n = 0; n < poses.size(); ++n) {
        Sample sample;
        sample.time = 0.1 * double(n);
        sample.pose = {poses[n].x, poses[n].y, 0};
        for (const Piece &piece : challenge.world.pieces)
            sample.pieces.push_back({piece.start.x, piece.start.y});
        run.samples.push_back(sample);
    }
    run.endTime = run.samples.back().time;
    run.ending = "exited with status 0";
    return run;
}

} // namespace

TEST(ChallengeFile, FaultsAreOneLineNamingThePlace)
{
    const std::string head = std::string("{") + Field + ", \"time_limit\": 10, \"pass\": 1, ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"world\": ", "c.json:1:11: not JSON"},
        {head + "\"rules\": [{\"rule\": \"dance\", \"points\": 1}]}", "c.json: rules[0].rule: unknown rule \"dance\""},
        {head + "\"rules\": [{\"rule\": \"robot_in_zone\", \"zone\": \"home\", \"points\": 1}]}",
         "c.json: rules[0].zone: the world has no zone \"home\""},
        {head + "\"rules\": [{\"rule\": \"pieces_in_zone\", \"zone\": \"goal\", \"pieces\": [\"ball\"], \"points\": 1}]}",
         "c.json: rules[0].pieces[0]: the world has no piece \"ball\""},
        {head + "\"rules\": [{\"rule\": \"wall_touch\", \"points\": 5}]}", "c.json: rules[0].points: must be from -1e+06 to 0"},
        {head + "\"rules\": [{\"rule\": \"laps\", \"points\": 1, \"colour\": 1}]}", "c.json: rules[0]: unknown key \"colour\""},
        {head + "\"rules\": [{\"rule\": \"console\", \"regex\": \"(\", \"points\": 1}]}", "c.json: rules[0].regex: not a regular expression"},
        {head + "\"start\": [\"0.5 press q\"], \"rules\": [{\"rule\": \"laps\", \"points\": 1}]}", "c.json: start:1:"},
        {head + "\"rules\": [{\"rule\": \"laps\", \"points\": 1, \"robot\": 1}]}", "c.json: rules[0].robot: must be from 0 to 0"},
        {"{\"world\": \"nowhere.json\", \"time_limit\": 1, \"rules\": [], \"pass\": 0}", "c.json: world: cannot read ./nowhere.json"},
        // A match: its world has a start pose for each side, whose rules are its own robot's.
        {head + "\"sides\": [{\"rules\": [{\"rule\": \"laps\", \"points\": 1}]}, {\"rules\": [{\"rule\": \"laps\", \"points\": 1}]}]}",
         "c.json: sides: the world gives 1 start pose for 2 sides"},
        {head + "\"sides\": [{\"rules\": [{\"rule\": \"laps\", \"points\": 1}]}]}", "c.json: sides: must be a list of 2 to 2 sides"},
    };
    for (const auto &[text, message] : cases) {
        Challenge challenge;
        std::string error;
        EXPECT_FALSE(parseChallenge(text, "c.json", challenge, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(ChallengeScore, ZonesLapsAndWallsAreJudgedFromTheTrace)
{
    const Challenge challenge = parsed(R"({"rule": "robot_in_zone", "zone": "goal", "points": 10},
        {"rule": "pieces_in_zone", "zone": "goal", "points": 5},
        {"rule": "laps", "around": [1.0, 0.5], "points": 7},
        {"rule": "wall_touch", "points": -3})");
    // Round the field's middle once, then into the goal against its wall.
    std::vector<Point> path;
    for (int n = 0; n <= 40; ++n)
        path.push_back({1.0 + 0.3 * std::cos(n * M_PI / 20), 0.5 + 0.3 * std::sin(n * M_PI / 20)});
    for (double x = 1.3; x < 1.9; x += 0.05)
        path.push_back({x, 0.5});
    path.push_back({1.92, 0.5}); // the body (0.09 m) against the wall at 2 m
    RunRecord run = runThrough(challenge, path);
    run.samples.back().pieces[1] = {1.8, 0.5}; // the box pushed into the goal
    const Score scored = score(challenge, run);
    ASSERT_EQ(scored.rules.size(), 4u);
    EXPECT_EQ(scored.rules[0].points, 10);
    EXPECT_EQ(scored.rules[1].points, 5) << scored.rules[1].detail;
    EXPECT_NE(scored.rules[1].detail.find("nearest outside: puck 1.10 m away"), std::string::npos) << scored.rules[1].detail;
    EXPECT_EQ(scored.rules[2].points, 7) << scored.rules[2].detail;
    EXPECT_EQ(scored.rules[3].points, -3) << scored.rules[3].detail;
    EXPECT_EQ(scored.total, 19);
    EXPECT_TRUE(scored.passed);

    // Spinning on the spot in the goal is no lap; a robot that never moves
    // touches no wall.
    const Score still = score(challenge, runThrough(challenge, std::vector<Point>(50, Point{1.8, 0.5})));
    EXPECT_EQ(still.rules[2].points, 0) << still.rules[2].detail;
    EXPECT_EQ(still.rules[3].points, 0);
}

TEST(ChallengeScore, ConsolePinsAndMotorsCountAtTheirTimes)
{
    const Challenge challenge = parsed(R"({"rule": "console", "regex": "^Ready$", "before": 1, "points": 4},
        {"rule": "pin", "pin": 3, "level": 1, "at": 0.5, "points": 2},
        {"rule": "motors", "motors": [1], "state": "running", "at": 0.5, "points": 1},
        {"rule": "motors_at_exit", "points": -6})");
    RunRecord run = runThrough(challenge, std::vector<Point>(20, Point{1, 0.5}));
    run.samples[5].digital = 1u << 3;
    run.samples[5].motorSpeed[1] = 300;
    run.console = {{0.2, "Ready?"}, {0.8, "Ready"}};
    run.motorRunningAtEnd[2] = true;
    Score scored = score(challenge, run);
    EXPECT_EQ(scored.rules[0].points, 4) << scored.rules[0].detail;
    EXPECT_EQ(scored.rules[1].points, 2) << scored.rules[1].detail;
    EXPECT_EQ(scored.rules[2].points, 1) << scored.rules[2].detail;
    EXPECT_EQ(scored.rules[3].points, -6);
    EXPECT_NE(scored.rules[3].detail.find("motor 2 still running"), std::string::npos) << scored.rules[3].detail;

    // Too late, the pin low then, and a run the time limit ended leaves no
    // motor "left running".
    run.console = {{1.5, "Ready"}};
    run.samples[5].digital = 0;
    run.endedByLimit = true;
    scored = score(challenge, run);
    EXPECT_EQ(scored.rules[0].points, 0);
    EXPECT_NE(scored.rules[0].detail.find("only at 1.5 s"), std::string::npos) << scored.rules[0].detail;
    EXPECT_EQ(scored.rules[1].points, 0);
    EXPECT_EQ(scored.rules[3].points, 0);
}

TEST(ChallengeScore, RulesAtATimeSeeThatRowAndTheEndSeesTheLast)
{
    const Challenge challenge = parsed(R"({"rule": "pieces_in_zone", "zone": "goal", "at": 1.0, "points": 5},
        {"rule": "pieces_in_zone", "zone": "goal", "most": 1, "points": 5},
        {"rule": "pose", "heading_deg": [170, 190], "points": 2},
        {"rule": "line_share", "port": 2, "threshold": 3000, "share": 0.5, "points": 3},
        {"rule": "leave_field", "zone": "goal", "points": -4},
        {"rule": "piece_off_table", "most": 1, "points": -6})");
    RunRecord run = runThrough(challenge, std::vector<Point>(31, Point{1.8, 0.5}));
    // Both pieces in the goal from 0.5 s to 2 s, then the puck pushed off
    // the table; the robot heads across -180 and the sensor sees tape in
    // exactly half of the rows every 0.1 s.
    for (std::size_t n = 5; n < run.samples.size(); ++n)
        run.samples[n].pieces = {{1.7, 0.4}, {1.9, 0.6}};
    for (std::size_t n = 21; n < run.samples.size(); ++n)
        run.samples[n].pieces[0] = {2.3, 0.4};
    run.samples.back().pose.headingDeg = -175;
    for (std::size_t n = 0; n < run.samples.size(); ++n)
        run.samples[n].analog[2] = n % 2 ? 3500 : 100;
    // The end row, 0.05 s after the last one, repeats a moment already seen.
    run.samples.push_back(run.samples.back());
    run.samples.back().time += 0.05;
    run.samples.back().analog[2] = 100;
    run.endTime = run.samples.back().time;
    run.samples.back().pose.x = 1.5; // out of the goal at the very end
    const Score scored = score(challenge, run);
    ASSERT_EQ(scored.rules.size(), 6u);
    EXPECT_EQ(scored.rules[0].points, 10) << scored.rules[0].detail; // both at 1 s
    EXPECT_NE(scored.rules[0].detail.find("since 0.5 s"), std::string::npos) << scored.rules[0].detail;
    EXPECT_EQ(scored.rules[1].points, 5) << scored.rules[1].detail;  // one left, and at most one counts
    EXPECT_EQ(scored.rules[1].most, 5);
    EXPECT_EQ(scored.rules[2].points, 2) << scored.rules[2].detail;
    EXPECT_EQ(scored.rules[3].points, 0) << scored.rules[3].detail; // 15 of 31 rows
    EXPECT_EQ(scored.rules[4].points, -4) << scored.rules[4].detail;
    EXPECT_EQ(scored.rules[5].points, -6) << scored.rules[5].detail;
    EXPECT_NE(scored.rules[5].detail.find("puck at 2.1 s"), std::string::npos) << scored.rules[5].detail;
    EXPECT_EQ(scored.total, 7);
    EXPECT_FALSE(scored.passed); // the pass mark is 10
}

TEST(ChallengeFile, MatchSidesAreCheckedAgainstTheWorldAndEachOther)
{
    const std::string oneStart = "\"start\": {\"x\": 1, \"y\": 0.5}";
    std::string twoStarts = Field;
    twoStarts.replace(twoStarts.find(oneStart), oneStart.size(),
                      "\"start\": [{\"x\": 0.3, \"y\": 0.5}, {\"x\": 1.7, \"y\": 0.5, \"heading_deg\": 180}]");
    const std::string side = "{\"rules\": [{\"rule\": \"pieces_in_zone\", \"zone\": \"goal\", \"pieces\": [\"puck\"], \"points\": 5}]}";
    const auto parse = [&](const std::string &rest, Challenge &challenge, std::string &error) {
        return parseChallenge("{" + twoStarts + ", \"time_limit\": 10, \"pass\": 5, " + rest + "}", "m.json", challenge,
                              error);
    };
    Challenge match;
    std::string error;
    ASSERT_TRUE(parse("\"sides\": [" + side + ", {\"name\": \"right\", \"pass\": 0, \"rules\": [{\"rule\": \"laps\", \"points\": 1}]}]",
                      match, error)) << error;
    ASSERT_TRUE(match.match());
    EXPECT_TRUE(match.rules.empty());
    EXPECT_EQ(match.sides[0].name, "robot 1");
    EXPECT_EQ(match.sides[1].name, "right");
    EXPECT_EQ(match.sides[0].passMark, 5);
    EXPECT_EQ(match.sides[1].passMark, 0);
    // Both robots keep their own start poses in the run's world.
    World world;
    ASSERT_TRUE(parseWorld(worldForRun(match, drawVariation(match, 3)), "run.json", world, error)) << error;
    EXPECT_EQ(world.robot.starts.size(), 2u);

    const std::pair<std::string, std::string> faults[] = {
        {"\"rules\": [{\"rule\": \"laps\", \"points\": 1}], \"sides\": [" + side + ", " + side + "]",
         "m.json: sides: a match's rules are its sides'"},
        {"\"sides\": [" + side + ", {\"rules\": [{\"rule\": \"laps\", \"robot\": 0, \"points\": 1}]}]",
         "m.json: sides[1].rules[0].robot: a side's rules look at its own robot"},
        {"\"sides\": [" + side + ", {\"rules\": [{\"rule\": \"robot_in_zone\", \"zone\": \"home\", \"points\": 1}]}]",
         "m.json: sides[1].rules[0].zone: the world has no zone \"home\""},
        {"\"variations\": {\"start\": {\"x\": [0.2, 0.4]}}, \"sides\": [" + side + ", " + side + "]",
         "m.json: variations.start: a match starts each robot at its own pose of the world"},
    };
    for (const auto &[rest, message] : faults) {
        Challenge challenge;
        EXPECT_FALSE(parse(rest, challenge, error)) << rest;
        EXPECT_EQ(error.rfind(message, 0), 0u) << error;
    }
}

TEST(ChallengeFile, SeedDrawsTheStartWithinItsRanges)
{
    const Challenge challenge = parsed(R"({"rule": "laps", "points": 1})",
                                       R"("variations": {"start": {"x": [0.4, 0.6], "heading_deg": [-10, 10]}, "battery": [7, 8]},)");
    const Variation one = drawVariation(challenge, 1), again = drawVariation(challenge, 1),
                    other = drawVariation(challenge, 2);
    EXPECT_EQ(one.start.x, again.start.x);
    EXPECT_NE(one.start.x, other.start.x);
    EXPECT_GE(one.start.x, 0.4);
    EXPECT_LE(one.start.x, 0.6);
    EXPECT_EQ(one.start.y, 0.5); // no range: the world's own
    ASSERT_TRUE(one.batteryVolts);
    EXPECT_NE(scriptForRun(challenge, one).find("0 battery 7."), std::string::npos);
    World world;
    std::string error;
    ASSERT_TRUE(parseWorld(worldForRun(challenge, other), "run.json", world, error)) << error;
    EXPECT_EQ(world.robot.start.x, other.start.x);
}

// ---------------------------------------------------------------- kestrix-sim --challenge

namespace {

class ChallengeRuns : public ScratchFolder
{
protected:
    ChallengeRuns() : ScratchFolder("kestrix-challenge-test") {}

    ProgramRun challenge(const std::string &name, const std::string &program, const std::string &seed)
    {
        return runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge", std::string(KESTRIX_CHALLENGES_DIR) + "/" + name,
                                                 "--seed", seed, "--report", file("report.json"), program});
    }
};

} // namespace

TEST_F(ChallengeRuns, ShippedExamplesPassTheirChallenges)
{
    const std::pair<const char *, const char *> shipped[] = {{"line_lap.json", "line_follower"},
        {"red_block.json", "find_red_block"}, {"two_pieces.json", "push_two"}};
    for (const auto &[name, example] : shipped)
        for (const char *seed : {"1", "4"}) {
            const ProgramRun run = challenge(name, std::string(KESTRIX_EXAMPLES_DIR) + "/" + example, seed);
            EXPECT_EQ(run.status, 0) << name << " seed " << seed << "\n" << run.err;
            EXPECT_NE(run.err.find("): 100 of 100 points"), std::string::npos) << run.err;
            EXPECT_NE(read("report.json").find("\"passed\": true"), std::string::npos);
        }
}

TEST_F(ChallengeRuns, RunStartsWhereTheSeedDrewItWithTheWorldsRealism)
{
    if (underEmulation())
        GTEST_SKIP() << "runs the build machine's /bin/sh, which a build for the board cannot simulate";
    Challenge lap;
    std::string error;
    const std::string shipped = std::string(KESTRIX_CHALLENGES_DIR) + "/line_lap.json";
    ASSERT_TRUE(loadChallenge(shipped, lap, error)) << error;
    ASSERT_EQ(::chmod(write("idle.sh", "#!/bin/sh\n").c_str(), 0755), 0);
    // The same challenge on the same world written as a list of robots:
    // the seed's start goes to the first robot of the list.
    std::ifstream worldFile(std::string(KESTRIX_CHALLENGES_DIR) + "/../worlds/line.json");
    nlohmann::json listed = nlohmann::json::parse(worldFile);
    listed["robots"] = nlohmann::json::array({listed["robot"]});
    listed.erase("robot");
    write("line_listed.json", listed.dump());
    std::ifstream challengeFile(shipped);
    nlohmann::json onListed = nlohmann::json::parse(challengeFile);
    onListed["world"] = "line_listed.json";
    const std::string listedChallenge = write("line_lap_listed.json", onListed.dump());
    for (const auto &[challengePath, seed] : std::vector<std::pair<std::string, std::uint64_t>>{
             {shipped, 3}, {shipped, 4}, {listedChallenge, 3}}) {
        SCOPED_TRACE(challengePath);
        const ProgramRun run = runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge", challengePath, "--seed",
                                          std::to_string(seed), "--trace", file("trace.csv"), file("idle.sh")});
        EXPECT_EQ(run.status, 1) << run.err;
        std::vector<Sample> samples;
        ASSERT_TRUE(readTrace(file("trace.csv"), lap.world, samples, error)) << error;
        ASSERT_FALSE(samples.empty());
        const Variation drawn = drawVariation(lap, seed);
        EXPECT_NEAR(samples.front().pose.x, drawn.start.x, 1e-4);
        EXPECT_NEAR(samples.front().pose.headingDeg, drawn.start.headingDeg, 0.01);
        char battery[64];
        std::snprintf(battery, sizeof battery, "battery: %.3f V", *drawn.batteryVolts);
        EXPECT_NE(run.err.find(battery), std::string::npos) << run.err;
    }
}

TEST_F(ChallengeRuns, ProgramThatDoesNothingFailsWithTheReasonNamed)
{
    if (underEmulation())
        GTEST_SKIP() << "runs the build machine's /bin/sh, which a build for the board cannot simulate";
    ASSERT_EQ(::chmod(write("idle.sh", "#!/bin/sh\necho ready\n").c_str(), 0755), 0);
    const ProgramRun again = challenge("two_pieces.json", file("idle.sh"), "1");
    EXPECT_EQ(again.status, 1) << again.err;
    EXPECT_NE(again.err.find("0 of 100 points, pass mark 100: failed"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("pieces in \"centre\": 0 inside at the end"), std::string::npos) << again.err;
    EXPECT_NE(again.out.find("ready"), std::string::npos); // the console is echoed
    const std::string report = read("report.json");
    EXPECT_NE(report.find("\"passed\": false"), std::string::npos) << report;
    EXPECT_NE(report.find("\"text\": \"ready\""), std::string::npos) << report;
}

TEST_F(ChallengeRuns, BadChallengeStopsBeforeTheProgramStarts)
{
    const std::string bad = write("bad.json", std::string("{") + Field
                                                  + ", \"time_limit\": 5, \"rules\": [{\"rule\": \"pieces_in_zone\", "
                                                    "\"zone\": \"middle\", \"points\": 1}], \"pass\": 1}");
    const std::string marker = file("ran");
    const std::string program = write("mark.sh", "#!/bin/sh\ntouch " + marker + "\n");
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const ProgramRun run = runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge", bad, program});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kestrix-sim: " + bad + ": rules[0].zone: the world has no zone \"middle\"\n");
    EXPECT_NE(::access(marker.c_str(), F_OK), 0);
    EXPECT_EQ(runProgram(KESTRIX_SIM_LAUNCHER, {"--check", "--challenge", bad}).status, 2);
    EXPECT_EQ(runProgram(KESTRIX_SIM_LAUNCHER,
                         {"--check", "--challenge", std::string(KESTRIX_CHALLENGES_DIR) + "/line_lap.json"}).status, 0);
    const ProgramRun unwritable = runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge",
        std::string(KESTRIX_CHALLENGES_DIR) + "/line_lap.json", "--report", file("none/report.json"), program});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_EQ(unwritable.err.rfind("kestrix-sim: cannot write report " + file("none/report.json"), 0), 0u) << unwritable.err;
    EXPECT_NE(::access(marker.c_str(), F_OK), 0);
    const ProgramRun mixed = runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge", bad, "--duration", "3", program});
    EXPECT_EQ(mixed.status, 2);
    EXPECT_NE(mixed.err.find("--duration cannot go with --challenge"), std::string::npos) << mixed.err;
}

// A match of two pushers on the table, each side scored by its own piece in
// the centre and its own robot back on its own side: the scores are what the
// trace shows of them, and each side's console is its own program's.
TEST_F(ChallengeRuns, MatchScoresEachSideByItsOwnPieceAndRobotInTheTrace)
{
    if (underEmulation())
        GTEST_SKIP() << "runs the build machine's /bin/sh, which a build for the board cannot simulate";
    Challenge match;
    std::string error;
    const std::string matchFile = std::string(KESTRIX_CHALLENGES_DIR) + "/centre_match.json";
    ASSERT_TRUE(loadChallenge(matchFile, match, error)) << error;
    ASSERT_EQ(match.sides.size(), 2u);
    const auto named = [](const auto &list, const std::string &name) {
        std::size_t n = 0;
        while (n < list.size() && list[n].name != name)
            ++n;
        return n;
    };
    const std::size_t centre = named(match.world.zones, "centre");
    const std::size_t home[] = {named(match.world.zones, "left of the centre"),
                                named(match.world.zones, "right of the centre")};
    const std::size_t piece[] = {named(match.world.pieces, "red 1"), named(match.world.pieces, "red 2")};
    ASSERT_LT(home[1], match.world.zones.size());
    ASSERT_LT(piece[1], match.world.pieces.size());
    const std::string pusher = std::string(KESTRIX_EXAMPLES_DIR) + "/push_to_zone";
    ASSERT_EQ(::chmod(write("idle.sh", "#!/bin/sh\n").c_str(), 0755), 0);
    struct Case
    {
        std::string first, second, seed, result;
        int status;
    } cases[] = {{pusher, pusher, "1", "a draw", 0}, {pusher, pusher, "2", "a draw", 0}, {pusher, pusher, "3", "a draw", 0},
                 {file("idle.sh"), pusher, "3", "robot 2 won", 1}, {pusher, file("idle.sh"), "6", "robot 1 won", 1}};
    for (const Case &c : cases) {
        const ProgramRun run = runProgram(KESTRIX_SIM_LAUNCHER, {"--challenge", matchFile, "--seed", c.seed, "--trace",
            file("trace.csv"), "--report", file("report.json"), "--robot", c.first, "--robot", c.second});
        EXPECT_EQ(run.status, c.status) << run.err;
        const nlohmann::json report = nlohmann::json::parse(read("report.json"));
        EXPECT_EQ(report["result"], c.result) << run.err;
        EXPECT_NE(run.err.find("(seed " + c.seed + "): " + c.result), std::string::npos) << run.err;
        for (std::size_t side = 0; side < 2; ++side) {
            std::vector<Sample> samples;
            ASSERT_TRUE(readTrace(file("trace.csv"), match.world, samples, error, "r" + std::to_string(side + 1) + "_"))
                << error;
            ASSERT_FALSE(samples.empty());
            const Sample &end = samples.back();
            const bool pieceIn = match.world.zones[centre].contains(end.pieces[piece[side]]);
            const bool robotHome = match.world.zones[home[side]].contains({end.pose.x, end.pose.y});
            const bool pushed = (side == 0 ? c.first : c.second) == pusher;
            EXPECT_EQ(pieceIn, pushed) << "robot " << side + 1 << " seed " << c.seed;
            EXPECT_EQ(robotHome, pushed) << "robot " << side + 1 << " seed " << c.seed;
            const nlohmann::json &scored = report["sides"][side];
            EXPECT_EQ(scored["score"].get<double>(), 50 * pieceIn + 10 * robotHome) << scored.dump();
            EXPECT_EQ(scored["passed"].get<bool>(), pieceIn && robotHome);
            // The robot's own columns: a pusher drove 0.88 m and backed 0.3 m; the idle one stayed.
            EXPECT_NEAR(std::fabs(end.pose.x - samples.front().pose.x), pushed ? 0.58 : 0, 0.05) << "robot " << side + 1;
            const std::string console = scored["console"].dump();
            EXPECT_EQ(console.find("backed off") != std::string::npos, pushed) << console;
        }
    }
}

TEST_F(ChallengeRuns, MatchAndRobotCountsMustAgree)
{
    const std::string marker = file("ran");
    const std::string program = write("mark.sh", "#!/bin/sh\ntouch " + marker + "\n");
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    const std::string match = std::string(KESTRIX_CHALLENGES_DIR) + "/centre_match.json";
    const std::string single = std::string(KESTRIX_CHALLENGES_DIR) + "/two_pieces.json";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--challenge", match, "--robot", program},
         "kestrix-sim: " + match + " is a match of 2 sides: give each side's program with --robot (1 given)\n"},
        {{"--challenge", match, program},
         "kestrix-sim: " + match + " is a match of 2 sides: give each side's program with --robot (0 given)\n"},
        {{"--challenge", single, "--robot", program, "--robot", program},
         "kestrix-sim: " + single + " scores one robot: give its program alone, not with --robot\n"},
    };
    for (const auto &[arguments, message] : cases) {
        const ProgramRun run = runProgram(KESTRIX_SIM_LAUNCHER, arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, message);
    }
    EXPECT_NE(::access(marker.c_str(), F_OK), 0);
    EXPECT_EQ(runProgram(KESTRIX_SIM_LAUNCHER, {"--check", "--challenge", match}).status, 0);
}

// ---------------------------------------------------------------- kestrix-grade

namespace {

class Grade : public ScratchFolder
{
protected:
    // The grade compiles its C sources with the build machine's compiler
    // and runs its shell scripts, neither of which a build for the board can
    // link or simulate.
    void SetUp() override
    {
        if (underEmulation())
            GTEST_SKIP() << "compiles and runs the build machine's programs";
        ScratchFolder::SetUp();
    }

    Grade() : ScratchFolder("kestrix-grade-test")
    {
        // C sources compile against the library of this build tree.
        ::setenv("PKG_CONFIG_PATH", KESTRIX_BUILD_PKG_CONFIG, 1);
    }

    ProgramRun shell(const std::string &command) { return runProgram("/bin/sh", {"-c", command}); }

    // The lines of a result CSV, header first.
    std::vector<std::string> csv(const std::string &folder)
    {
        std::vector<std::string> lines;
        std::istringstream text(read(folder + "/results.csv"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }
};

std::string challengeFile(const char *name)
{
    return std::string(KESTRIX_CHALLENGES_DIR) + "/" + name;
}

} // namespace

TEST_F(Grade, BrokenProgramsAreStoppedAndReportedWhileTheGradeGoesOn)
{
    const std::string hang = write("hang.c", "int main(void) { for (;;) {} }\n");
    const std::string crash = write("crash.c", "#include <signal.h>\n#include <kestrix/motors.h>\n#include <kestrix/util.h>\n"
                                               "int main(void) { mav(0, 300); msleep(500); raise(SIGSEGV); return 0; }\n");
    const std::string runaway = write("runaway.c", "#include <kestrix/motors.h>\n#include <kestrix/util.h>\n"
                                                   "int main(void) { mav(0, 500); mav(1, 500); msleep(1000); return 0; }\n");
    const std::string broken = write("broken.c", "int main(void) { return undeclared; }\n");
    const std::string flood = write("flood.c", "#include <stdio.h>\nint main(void) { for (;;) puts(\"spam\"); }\n");
    const std::string script = write("idle.py", "print('hello')\n");
#ifdef KESTRIX_TESTS_SANITIZED
    // Programs built against the sanitized library start slowly, and the
    // sanitizer's runtime turns a crash into an abort. Every process of a run
    // carries that runtime, which would report the leaks of a version
    // manager's python3 (a shell script, whose shell leaks): the
    // distribution's own runs the Python program.
    const std::string limit = "20", crashSignal = "6";
    ::setenv("PATH", ("/usr/bin:" + std::string(std::getenv("PATH"))).c_str(), 1);
#else
    const std::string limit = "4", crashSignal = "11";
#endif
    const ProgramRun run = runProgram(KESTRIX_GRADE, {"-j", "2", "--seeds", "2", "--timeout", limit, "--out", file("out"),
        challengeFile("red_block.json"), KESTRIX_EXAMPLES_DIR "/find_red_block", hang, crash, runaway, broken, flood,
        script});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> rows = csv("out");
    ASSERT_EQ(rows.size(), 15u) << read("out/results.csv");
    const std::vector<std::string> expected = {
        KESTRIX_EXAMPLES_DIR "/find_red_block,1,passed,100.0,100.0,1,",
        hang + ",1,timed out after " + limit + " s,0,",
        crash + ",1,crashed,",
        runaway + ",1,failed,",
        broken + ",1,compile error,0,,0,does not compile: ",
        flood + ",1,flooded its output (over 256 KiB),0,",
        script + ",1,failed,30.0,100.0,0,",
    };
    for (std::size_t n = 0; n < expected.size(); ++n)
        EXPECT_EQ(rows[1 + 2 * n].rfind(expected[n], 0), 0u) << rows[1 + 2 * n];
    EXPECT_NE(rows[5].find("the program was killed by signal " + crashSignal), std::string::npos) << rows[5];
    EXPECT_NE(rows[7].find("motors left running: motor 0, 1 still running"), std::string::npos) << rows[7];
    EXPECT_NE(rows[9].find("undeclared"), std::string::npos) << rows[9];

    // The JUnit XML, read by a real parser: a suite per program, a case per seed.
    const ProgramRun junit = shell("python3 -c \"import xml.etree.ElementTree as E; r = E.parse('" + file("out/junit.xml")
                                   + "').getroot(); print(len(r), [len(s) for s in r], "
                                     "sum(len(c.findall('failure')) for s in r for c in s))\"");
    EXPECT_EQ(junit.out, "7 [2, 2, 2, 2, 2, 2, 2] 12\n") << junit.err;
    const std::string page = read("out/report.html");
    EXPECT_NE(page.find("<svg"), std::string::npos);
    EXPECT_NE(page.find("does not compile"), std::string::npos);
    EXPECT_NE(page.find("hello"), std::string::npos); // the Python program's console
}

TEST_F(Grade, BadChallengeOrOutputFolderStopsBeforeAnyRun)
{
    ASSERT_EQ(::chmod(write("mark.sh", "#!/bin/sh\ntouch " + file("ran") + "\n").c_str(), 0755), 0);
    const std::string bad = write("bad.json", "{\"world\": \"../worlds/line.json\", \"time_limit\": 5, "
                                              "\"rules\": [{\"rule\": \"lap\", \"points\": 1}], \"pass\": 1}");
    const ProgramRun badChallenge = runProgram(KESTRIX_GRADE, {"--out", file("out"), bad, file("mark.sh")});
    EXPECT_EQ(badChallenge.status, 2);
    EXPECT_EQ(badChallenge.err, "kestrix-grade: " + bad + ": world: cannot read " + m_folder + "/../worlds/line.json\n");
    write("file", "");
    const ProgramRun badFolder = runProgram(KESTRIX_GRADE, {"--out", file("file/out"), challengeFile("line_lap.json"),
                                                           file("mark.sh")});
    EXPECT_EQ(badFolder.status, 2);
    EXPECT_EQ(badFolder.err.rfind("kestrix-grade: cannot write " + file("file/out") + ": ", 0), 0u) << badFolder.err;
    const ProgramRun alone = runProgram(KESTRIX_GRADE, {"--out", file("out"), challengeFile("centre_match.json"),
                                                       file("mark.sh")});
    EXPECT_EQ(alone.status, 2);
    EXPECT_EQ(alone.err, "kestrix-grade: " + challengeFile("centre_match.json")
                             + " is a match: a round robin needs at least two programs\n");
    EXPECT_NE(::access(file("ran").c_str(), F_OK), 0);
}

TEST_F(Grade, ListedRunsThroughParallelMergeIntoTheDirectReport)
{
    if (shell("command -v parallel").status != 0)
        GTEST_SKIP() << "GNU parallel is not installed";
    const std::string programs = std::string(KESTRIX_EXAMPLES_DIR) + "/line_follower " + KESTRIX_EXAMPLES_SOURCE_DIR
                                 + "/square.c";
    const std::string common = std::string(KESTRIX_GRADE) + " --seeds 2 " + challengeFile("line_lap.json");
    const ProgramRun direct = shell(common + " -j 2 --out " + file("direct") + " " + programs);
    ASSERT_EQ(direct.status, 0) << direct.err;
    const ProgramRun spread = shell(common + " --list --out " + file("spread") + " " + programs + " | parallel -j 2 && "
                                    + KESTRIX_GRADE + " --merge " + file("spread"));
    ASSERT_EQ(spread.status, 0) << spread.err;
    EXPECT_EQ(csv("direct").size(), 5u);
    EXPECT_EQ(read("spread/results.csv"), read("direct/results.csv"));
    EXPECT_EQ(read("spread/junit.xml"), read("direct/junit.xml"));
    EXPECT_NE(read("direct/results.csv").find("line_follower,2,passed"), std::string::npos) << read("direct/results.csv");

    // A run that never came back is in the report as missing.
    ASSERT_EQ(::unlink(file("spread/runs/02-square.c-seed2/result.json").c_str()), 0);
    ASSERT_EQ(runProgram(KESTRIX_GRADE, {"--merge", file("spread")}).status, 0);
    EXPECT_EQ(csv("spread").back(), KESTRIX_EXAMPLES_SOURCE_DIR "/square.c,2,missing,0,,0,no result: the run did not happen");
    EXPECT_NE(read("spread/junit.xml").find("missing, 0 points"), std::string::npos);
}

// A round robin of two pushers and a program that does nothing on the
// match's challenge: every pair both ways round, ranked by their games; the
// same games listed and run one by one merge into the same standings.
TEST_F(Grade, RoundRobinRanksThePrograms)
{
    const std::string pusher = KESTRIX_EXAMPLES_DIR "/push_to_zone";
    std::ifstream original(pusher, std::ios::binary);
    std::ofstream(file("pusher2"), std::ios::binary) << original.rdbuf();
    ASSERT_EQ(::chmod(file("pusher2").c_str(), 0755), 0);
    const std::string idle = write("idle.c", "int main(void) { return 0; }\n");
    const std::vector<std::string> programs = {pusher, file("pusher2"), idle};
    std::vector<std::string> arguments = {"-j", "2", "--seeds", "1", "--out", file("out"), challengeFile("centre_match.json")};
    arguments.insert(arguments.end(), programs.begin(), programs.end());
    const ProgramRun run = runProgram(KESTRIX_GRADE, arguments);
    ASSERT_EQ(run.status, 0) << run.err;

    // Six games: each pusher beats the idle program on both sides and draws the other pusher.
    const std::vector<std::string> games = csv("out");
    ASSERT_EQ(games.size(), 7u) << read("out/results.csv");
    EXPECT_EQ(games[0], "robot1,robot2,seed,status,score1,score2,result,reason");
    for (std::size_t n = 1; n < games.size(); ++n) {
        const bool idleFirst = games[n].rfind(idle + ",", 0) == 0;
        const bool idleSecond = !idleFirst && games[n].find("," + idle + ",") != std::string::npos;
        const std::string expected = idleFirst ? ",played,0.0,60.0,robot 2 won," : idleSecond ? ",played,60.0,0.0,robot 1 won,"
                                                                                               : ",played,60.0,60.0,a draw,";
        EXPECT_NE(games[n].find(expected), std::string::npos) << games[n];
    }
    std::vector<std::string> table;
    std::istringstream standings(read("out/standings.csv"));
    for (std::string line; std::getline(standings, line);)
        table.push_back(line);
    const std::vector<std::string> expected = {"rank,program,points,won,drawn,lost,no_result,score",
        "1," + pusher + ",8,2,2,0,0,240.0", "1," + file("pusher2") + ",8,2,2,0,0,240.0", "3," + idle + ",0,0,0,4,0,0.0"};
    EXPECT_EQ(table, expected) << read("out/standings.csv");
    EXPECT_NE(run.out.find("   3  " + idle), std::string::npos) << run.out;

    // JUnit: a suite per program, a case per game it played, a failure per game it lost.
    const ProgramRun junit = shell("python3 -c \"import xml.etree.ElementTree as E; r = E.parse('" + file("out/junit.xml")
                                   + "').getroot(); print([(s.get('name').split('/')[-1], len(s), len(s.findall('*/failure'))) for s in r])\"");
    EXPECT_EQ(junit.out, "[('push_to_zone', 4, 0), ('pusher2', 4, 0), ('idle.c', 4, 4)]\n") << junit.err;
    EXPECT_NE(read("out/report.html").find("<svg"), std::string::npos);

    // Listed, run one by one, merged: the same games and standings.
    std::string command = std::string(KESTRIX_GRADE) + " --seeds 1 --list --out " + file("listed") + " "
                          + challengeFile("centre_match.json");
    for (const std::string &program : programs)
        command += " " + program;
    const ProgramRun listed = shell(command + " > " + file("runs.txt") + " && sh " + file("runs.txt") + " && "
                                    + KESTRIX_GRADE + " --merge " + file("listed"));
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(read("listed/standings.csv"), read("out/standings.csv"));
    EXPECT_EQ(read("listed/results.csv"), read("out/results.csv"));
}

// ---------------------------------------------------------------- a student's CI

namespace {

class StudentCi : public ScratchFolder
{
protected:
    StudentCi() : ScratchFolder("kestrix-student-ci-test") {}

    void SetUp() override
    {
        if (underEmulation())
            GTEST_SKIP() << "compiles with the build machine's compiler";
        ScratchFolder::SetUp();
    }

    // The README's CI script in the folder, with the build tree's library
    // and simulator standing in for the installed packages.
    ProgramRun check(const std::string &robot)
    {
        write("robot.c", robot);
        const std::string launcher = KESTRIX_SIM_LAUNCHER;
        const std::string simFolder = launcher.substr(0, launcher.rfind('/'));
        return runProgram("/bin/sh", {"-c", "cd " + m_folder + " && PATH=" + simFolder + ":$PATH PKG_CONFIG_PATH="
                                                KESTRIX_BUILD_PKG_CONFIG " CHALLENGE=" KESTRIX_CHALLENGES_DIR
                                                "/line_lap.json SEEDS='1 2' sh " KESTRIX_STUDENT_CI});
    }
};

} // namespace

TEST_F(StudentCi, CheckScriptPassesAGoodRobotAndFailsAnIdleOne)
{
    std::ifstream example(KESTRIX_EXAMPLES_SOURCE_DIR "/line_follower.c");
    std::stringstream follower;
    follower << example.rdbuf();
    const ProgramRun good = check(follower.str());
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(read("score-2.json").find("\"passed\": true"), std::string::npos);

    const ProgramRun idle = check("#include <kestrix/util.h>\nint main(void) { msleep(1000); return 0; }\n");
    EXPECT_EQ(idle.status, 1) << idle.err;
    EXPECT_NE(idle.err.find("laps: 0 round"), std::string::npos) << idle.err;
}
