// Matches: two unmodified robot programs, each against its own simulated
// controller, on one table and one clock (kestrix-sim --robot), judged by
// the match's trace, what the programs printed and the summary.
#include "model/match_block.h"
#include "scratch_folder.h"
#include "trace.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <cmath>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using json = nlohmann::json;

class Matches : public ScratchFolder
{
protected:
    Matches() : ScratchFolder("kestrix-match-test") {}

    static std::string world(const std::string &name) { return std::string(KESTRIX_WORLDS_DIR) + "/" + name; }
    static std::string example(const std::string &name) { return std::string(KESTRIX_EXAMPLES_DIR) + "/" + name; }

    ProgramRun play(std::vector<std::string> arguments, const std::string &trace = "trace.csv")
    {
        arguments.insert(arguments.begin(), {"--speed", "max", "--trace", file(trace)});
        return runProgram(KESTRIX_SIM_LAUNCHER, arguments);
    }

    // A world of sim/worlds with the robots at `starts` ({x, y, heading}
    // each) and, when given, these pieces instead of its own.
    // The shipped world with these start poses; `changes` are merged in.
    std::string worldWith(const std::string &name, const std::vector<std::vector<double>> &starts,
                          const json &changes = json::object())
    {
        std::ifstream in(world(name));
        json w = json::parse(in);
        w["robot"]["start"] = json::array();
        for (const std::vector<double> &s : starts)
            w["robot"]["start"].push_back({{"x", s[0]}, {"y", s[1]}, {"heading_deg", s[2]}});
        w.update(changes);
        return write("match-" + std::to_string(starts.size()) + "-" + name, w.dump());
    }

    // The shipped world with "robots" instead of its "robot": each its
    // robot's description with `changes[n]` merged in.
    std::string robotsWorld(const std::string &name, const std::vector<json> &changes, const json &rest = json::object())
    {
        std::ifstream in(world(name));
        json w = json::parse(in);
        json base = w["robot"];
        base.erase("start");
        base.erase("colours");
        w.erase("robot");
        w["robots"] = json::array();
        for (const json &change : changes) {
            json described = base;
            described.update(change);
            w["robots"].push_back(described);
        }
        w.update(rest);
        return write("robots-" + std::to_string(changes.size()) + "-" + name, w.dump());
    }

    Trace trace(const std::string &name = "trace.csv") const { return Trace::read(file(name)); }
};

// The numbers after `prefix` in the program's lines, in order.
std::vector<double> after(const ProgramRun &run, const std::string &prefix)
{
    std::vector<double> values;
    for (const std::string &line : run.lines())
        if (line.rfind(prefix, 0) == 0)
            values.push_back(std::stod(line.substr(prefix.size())));
    return values;
}

double robotsApart(const Trace &t, std::size_t row)
{
    return std::hypot(t.values("r1_x_m")[row] - t.values("r2_x_m")[row],
                      t.values("r1_y_m")[row] - t.values("r2_y_m")[row]);
}

} // namespace

TEST_F(Matches, TwoBumpAndTurnRobotsDrivingAtEachOtherFeelTheBumpAtOneMoment)
{
    const std::string arena = worldWith("arena.json", {{0.5, 1.0, 0}, {1.5, 1.0, 180}});
    const ProgramRun run = play({"--seed", "3", "--duration", "4", "--world", arena, "--robot",
                                 example("bump_and_turn"), "--robot", example("bump_and_turn")});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<double> first = after(run, "bump 1 at ");
    ASSERT_EQ(first.size(), 2u) << run.out;
    EXPECT_LE(std::fabs(first[0] - first[1]), 0.010) << "each program's own clock, in seconds";
    // They met each other in the middle, not a wall: the bodies (0.09 m
    // radius) touched, a metre from either start.
    const Trace t = trace();
    double closest = 10;
    for (std::size_t k = 0; k < t.rows.size(); ++k)
        closest = std::min(closest, robotsApart(t, k));
    EXPECT_LT(closest, 0.2);
    EXPECT_NE(run.err.find("robot 1 ("), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("robot 2 ("), std::string::npos) << run.err;
}

TEST_F(Matches, TwoPushersContestOnePieceAndItMoves)
{
    const json piece = json::array({{{"shape", "disc"}, {"x", 1.2}, {"y", 0.6}, {"radius", 0.03}, {"mass", 0.05},
                                     {"friction", 0.4}, {"colour", "#d03030"}, {"height", 0.05}}});
    const std::string table = worldWith("table.json", {{0.45, 0.6, 0}, {1.95, 0.6, 180}}, {{"pieces", piece}});
    const ProgramRun run = play({"--seed", "2", "--duration", "12", "--world", table, "--robot",
                                 example("push_to_zone"), "--robot", example("push_to_zone")});
    ASSERT_EQ(run.status, 0) << run.err;
    const Trace t = trace();
    const std::vector<double> x = t.values("piece0_x_m"), y = t.values("piece0_y_m");
    // Held between the two, it goes back and forth by a centimetre or two
    // as one pusher or the other gains: where it ends is a matter of the
    // last push.
    double farthest = 0;
    for (std::size_t k = 0; k < x.size(); ++k)
        farthest = std::max(farthest, std::hypot(x[k] - x.front(), y[k] - y.front()));
    EXPECT_GT(farthest, 0.01) << "the piece was pushed";
    // Each pusher alone would have driven 0.88 m; the other held it back,
    // and neither went through the piece or the other robot.
    const std::vector<double> r1 = t.values("r1_x_m"), r2 = t.values("r2_x_m");
    EXPECT_LT(r1.back(), 0.45 + 0.8);
    EXPECT_GT(r2.back(), 1.95 - 0.8);
    for (std::size_t k = 0; k < t.rows.size(); ++k) {
        ASSERT_LT(r1[k], x[k]) << "row " << k;
        ASSERT_GT(r2[k], x[k]) << "row " << k;
        ASSERT_GT(robotsApart(t, k), 0.17) << "row " << k;
    }
}

TEST_F(Matches, AMatchPlayedTwiceWithOneSeedIsTheSameMatchAndBothPiecesEndInTheCentre)
{
    const auto match = [&](const char *seed, const std::string &trace) {
        return play({"--seed", seed, "--duration", "16", "--world", world("table.json"), "--plot", file("match.svg"),
                     "--robot", example("push_to_zone"), "--robot", example("push_to_zone")},
                    trace);
    };
    const ProgramRun once = match("5", "once.csv");
    ASSERT_EQ(once.status, 0) << once.err;
    ASSERT_EQ(match("5", "twice.csv").status, 0);
    ASSERT_EQ(match("6", "other.csv").status, 0);
    EXPECT_EQ(read("once.csv"), read("twice.csv"));
    EXPECT_NE(read("once.csv"), read("other.csv")) << "the seed draws each robot's wheels and motors";

    // From the two start areas each robot pushes the red piece before it
    // into the centre zone (1.0 to 1.4 m), from its own side.
    const Trace t = trace("once.csv");
    for (const char *piece : {"piece0_x_m", "piece1_x_m"}) {
        EXPECT_GT(t.values(piece).back(), 1.0) << piece;
        EXPECT_LT(t.values(piece).back(), 1.4) << piece;
    }
    EXPECT_LT(t.values("piece0_x_m").back(), t.values("piece1_x_m").back());
    const std::vector<std::string> lines = once.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "backed off"), 2) << once.out;
    // The picture draws each robot's path in its own colour.
    const std::string svg = read("match.svg");
    EXPECT_NE(svg.find("<polyline fill='none' stroke='#285ad2'"), std::string::npos);
    EXPECT_NE(svg.find("<polyline fill='none' stroke='#e67800'"), std::string::npos);
}

TEST_F(Matches, AProgramKilledMidMatchLeavesItsRobotStoppedWhileTheOtherFinishes)
{
    const std::string arena = worldWith("arena.json", {{1.6, 0.6, 90}, {0.4, 0.4, 30}});
    const ProgramRun run = play({"--seed", "1", "--duration", "6", "--world", arena, "--robot",
                                 example("bump_and_turn"), "--robot", KESTRIX_MATCH_QUITTER});
    EXPECT_EQ(run.status, 128 + 9) << run.err;
    EXPECT_NE(run.err.find("robot 1 (" + example("bump_and_turn") + ") ended at --duration after 6.000 s"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("killed by signal 9"), std::string::npos) << run.err;
    const Trace t = trace();
    ASSERT_NEAR(t.rows.back()[t.column("time")], 6, 1e-9) << "the trace goes on to the end";
    const std::vector<double> time = t.values("time"), x = t.values("r2_x_m"), y = t.values("r2_y_m");
    const std::vector<double> otherX = t.values("r1_x_m"), otherY = t.values("r1_y_m");
    std::size_t killed = 0;
    while (time[killed] < 2.2)
        ++killed;
    EXPECT_GT(std::hypot(x[killed] - x[0], y[killed] - y[0]), 0.2) << "it drove for two seconds";
    for (std::size_t k = killed; k < t.rows.size(); ++k)
        ASSERT_LT(std::hypot(x[k] - x[killed], y[k] - y[killed]), 0.002) << "at " << time[k] << " s";
    EXPECT_GT(std::hypot(otherX.back() - otherX[killed], otherY.back() - otherY[killed]), 0.2)
        << "the other robot drove on";
}

TEST_F(Matches, TwoThreadsProgramsOneARobotKeepTheDoneTimesOfOneAlone)
{
    // Without the world's realism, which differs from robot to robot, each
    // thread's times come from the clock alone.
    const json exact = {{"realism", false}};
    const ProgramRun alone = play({"--world", worldWith("arena.json", {{0.4, 0.4, 30}}, exact), example("two_threads")});
    ASSERT_EQ(alone.status, 0) << alone.err;
    const std::string arena = worldWith("arena.json", {{0.4, 0.4, 30}, {1.6, 0.6, 90}}, exact);
    const ProgramRun both =
        play({"--world", arena, "--robot", example("two_threads"), "--robot", example("two_threads")});
    ASSERT_EQ(both.status, 0) << both.err;
    for (const char *line : {"arm done at ", "wheel done at "}) {
        const std::vector<double> one = after(alone, line), two = after(both, line);
        ASSERT_EQ(one.size(), 1u) << alone.out;
        ASSERT_EQ(two.size(), 2u) << both.out;
        // A program's threads that exchange at one moment take the link
        // in an order that real time decides: a millisecond or two from run
        // to run, alone as in a match. A match's clock that let one robot
        // run ahead, or held one for the other's sleeps, is off by seconds.
        EXPECT_NEAR(two[0], one[0], 0.005) << line;
        EXPECT_NEAR(two[1], one[0], 0.005) << line;
    }
}

TEST_F(Matches, ALongSleepEndsAtItsExactMomentWhileTheOtherProgramTakesManyShortTurns)
{
    // The clock goes to each program in turn, and one whose only thread
    // sleeps takes its grant itself. A grant lost, or given to the wrong
    // program, shows as a match that never ends or a sleep of another
    // length; a program woken before the other has had its turn runs ahead,
    // and its line comes out before a line of the other of an earlier time.
    // Both ways round, as the first robot is granted first at one moment.
    const std::string arena = worldWith("arena.json", {{0.4, 0.4, 0}, {1.6, 1.6, 180}});
    const std::string sleeper = KESTRIX_MATCH_SLEEPER;
    for (const bool longFirst : {true, false}) {
        const std::string first = sleeper + (longFirst ? " long" : " short");
        const std::string second = sleeper + (longFirst ? " short" : " long");
        const ProgramRun run = play({"--duration", "5", "--world", arena, "--robot", first, "--robot", second});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::regex slept("slept (\\d+) for (\\d+) at (\\d+)"), shortAt("short at (\\d+)");
        std::vector<long long> times;
        std::size_t longSleeps = 0, shortLines = 0;
        for (const std::string &line : run.lines()) {
            std::smatch m;
            if (std::regex_match(line, m, slept)) {
                EXPECT_EQ(m[1].str(), m[2].str()) << line;
                times.push_back(std::stoll(m[3].str()));
                ++longSleeps;
            } else if (std::regex_match(line, m, shortAt)) {
                times.push_back(std::stoll(m[1].str()));
                ++shortLines;
            }
        }
        EXPECT_EQ(longSleeps, 4u) << run.out;
        EXPECT_EQ(shortLines, 20u) << run.out;
        EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << run.out;
        EXPECT_EQ(after(run, "short sleeps off by at most "), std::vector<double>{0}) << run.out;
    }
}

// Two robots of their own descriptions: the second has bigger wheels, a
// bigger body and its claw and arm on other servos, with the claw's switch
// on another pin. Each drives up to the piece ahead of it by its own wheels,
// grips it, lifts it, carries it 0.3 m, sets it down and backs away.
TEST_F(Matches, EachRobotOfItsOwnDescriptionGripsCarriesAndLetsGoOfAPiece)
{
    const json second = {{"radius", 0.1}, {"wheel_diameter", 0.08}, {"track_width", 0.18},
                         {"touch_switches", {{{"port", 9}, {"angle_deg", 180}}, {{"port", 11}, {"claw", true}}}},
                         {"mechanisms", {{{"type", "claw"}, {"servo", 2}, {"x", 0.105}, {"open_position", 850},
                                          {"closed_position", 250}, {"open_width", 0.09}, {"depth", 0.07}},
                                         {{"type", "arm"}, {"servo", 3}, {"down_position", 250},
                                          {"up_position", 750}}}},
                         {"start", {{"x", 2.0}, {"y", 0.6}, {"heading_deg", 180}}}};
    const json first = {{"start", {{"x", 0.4}, {"y", 0.6}, {"heading_deg", 0}}}};
    const json pieces = json::array({{{"shape", "disc"}, {"x", 0.65}, {"y", 0.6}, {"radius", 0.03}},
                                     {{"shape", "disc"}, {"x", 1.66}, {"y", 0.6}, {"radius", 0.03}}});
    const std::string table = robotsWorld("table.json", {first, second}, {{"pieces", pieces}, {"realism", false}});
    // Robot 1: 0.12 m to the piece and 0.3 m on, at 0.19 mm a tick; robot 2:
    // 0.2 m and 0.3 m at 0.25 mm a tick. On the first's wheels the second
    // would stop 5 cm short, its piece out of its jaws' reach.
    const std::string carrier = KESTRIX_CLAW_CARRIER;
    const ProgramRun run = play({"--duration", "12", "--world", table, "--robot", carrier + " 0 1 10 637 1592",
                                 "--robot", carrier + " 2 3 11 796 1194"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = run.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "gripped"), 2) << run.out;
    const Trace t = trace();
    struct Robot
    {
        const char *prefix, *piece;
        int index;
        double startX, approach, direction;
    } robots[] = {{"r1_", "piece0", 0, 0.4, 0.12, 1}, {"r2_", "piece1", 1, 2.0, 0.2, -1}};
    for (const Robot &r : robots) {
        const std::string p = r.prefix;
        const std::vector<double> held = t.values(p + "claw_piece"), lift = t.values(p + "arm_height_m");
        const std::vector<double> x = t.values(p + "x_m"), pieceX = t.values(std::string(r.piece) + "_x_m");
        const auto gripped = std::find(held.begin(), held.end(), r.index);
        ASSERT_NE(gripped, held.end()) << p << " never gripped its piece";
        const std::size_t from = std::size_t(gripped - held.begin());
        EXPECT_NEAR(x[from], r.startX + r.direction * r.approach, 0.01) << p << " drove by its own wheels";
        // Lifted, it rides in the jaws at one distance from the robot.
        std::size_t carried = 0, last = from;
        while (last + 1 < held.size() && held[last + 1] == r.index)
            ++last;
        for (std::size_t k = from; k <= last; ++k) {
            EXPECT_NEAR(pieceX[k] - x[k], pieceX[from] - x[from], 0.005) << p << " row " << k;
            carried += lift[k] >= 0.02;
        }
        EXPECT_GT(carried, 10u) << p << " lifted it";
        EXPECT_NEAR(r.direction * (pieceX[last] - pieceX[from]), 0.3, 0.02) << p << " carried it 0.3 m";
        // Let go, it lies where it was set down while the robot backs off.
        ASSERT_EQ(held.back(), -1) << p;
        EXPECT_NEAR(pieceX.back(), pieceX[last], 0.003) << p;
        EXPECT_GT(r.direction * (pieceX.back() - x.back()), 0.25) << p << " backed away";
    }
}

TEST_F(Matches, MatchesThatCannotBePlayedGetOneLineAndStatus2)
{
    const std::string robot = example("bump_and_turn");
    write("not_executable", "#!/bin/sh\n");
    const std::string overlapping = worldWith("arena.json", {{0.5, 1.0, 0}, {0.6, 1.0, 180}});
    const std::string oneOfThem = robotsWorld("table.json", {json::object()});
    const std::string badSecond = robotsWorld(
        "table.json", {{{"start", {{"x", 0.3}, {"y", 0.6}}}}, {{"start", {{"x", 2.0}, {"y", 0.6}}}, {"wheels", 2}}});
    struct Case
    {
        std::vector<std::string> arguments;
        const char *says;
    } cases[] = {
        {{"--robot", robot, "--robot", robot}, "--robot needs --world"},
        {{"--world", world("arena.json"), "--robot", robot, "--robot", robot}, "gives 1 start pose for 2 robots"},
        {{"--world", overlapping, "--robot", robot, "--robot", robot}, "robot.start[1]: overlaps"},
        {{"--world", oneOfThem, "--robot", robot, "--robot", robot}, "robots describes 1 robot for 2 robots"},
        {{"--world", badSecond, "--robot", robot, "--robot", robot}, "robots[1]: unknown key \"wheels\""},
        {{"--world", world("table.json"), "--robot", robot, "--robot", file("missing")},
         "robot 2: program not found"},
        {{"--world", world("table.json"), "--robot", robot, "--robot", file("not_executable")},
         "is not executable"},
        {{"--world", world("table.json"), "--robot", robot, "--robot", robot, robot}, "not after the options"},
    };
    for (const Case &c : cases) {
        const ProgramRun run = runProgram(KESTRIX_SIM_LAUNCHER, c.arguments);
        EXPECT_EQ(run.status, 2) << c.says << "\n" << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "") << "no program started: " << c.says;
    }
}

// The match's clock is a lock word in shared memory; a program killed while
// it held it (SIGKILL mid-match) must not stop the others, nor the
// launcher, which takes it when a program ends.
TEST(MatchClock, ALockLeftByAKilledProgramIsTakenOverAndTheMatchGoesOn)
{
    auto match = std::make_unique<kxsim::MatchBlock>();
    std::memset(static_cast<void *>(match.get()), 0, sizeof *match);
    kxsim::setUpMatch(*match, 2, 1000);
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    match->clockLock.store(std::uint32_t(gone));
    EXPECT_FALSE(kxsim::matchIdle(*match, 0, 5000)) << "robot 2 still runs";
    // Robot 2 waits until later: robot 1's deadline is the match's next time.
    EXPECT_FALSE(kxsim::matchIdle(*match, 1, 7000));
    EXPECT_EQ(match->grant[0].load(), 1u);
    EXPECT_EQ(match->grantedNs[0], 5000);
    EXPECT_EQ(match->clockLock.load(), 0u);
    // A robot that ends leaves the time to the other.
    kxsim::matchLeave(*match, 0);
    EXPECT_EQ(match->grant[1].load(), 1u);
    EXPECT_EQ(match->grantedNs[1], 7000);
}
