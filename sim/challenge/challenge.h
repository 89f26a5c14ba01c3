// A challenge: a task a robot program is scored against, read from a JSON
// file, and the score of one run of a program against it.
//
// Challenge file (times in simulated seconds, lengths in metres):
//   {
//     "name": "Two pieces into the zone",
//     "world": "../worlds/table.json",          (relative to this file, or a world document)
//     "zones": [{"name": "at the block", "area": [x0, y0, x1, y1]}],   (added to the world's)
//     "time_limit": 40,
//     "variations": {"seeds": 5, "start": {"x": [0.1, 0.2], "y": [0.55, 0.65], "heading_deg": [-5, 5]},
//                    "battery": [7.0, 7.8]},
//     "start": ["0.5 click a"],                  (script lines, as --script takes them)
//     "rules": [{"rule": "pieces_in_zone", "zone": "centre", "pieces": ["red 1"], "points": 25}, ...],
//     "pass": 50
//   }
// The rules are the rows of the table in challenge_file.cpp; the README
// lists them. A rule applies to the one robot of the world; "robot": 0 may
// name it.
//
// A match has "sides" instead of "rules": one per robot, in the order of the
// world's start poses, each with its own rules (and pass mark), which look
// at that side's robot and its console; the pieces are everybody's, so a
// side's rules name its own:
//     "sides": [{"name": "left", "rules": [{"rule": "pieces_in_zone", "zone": "left half",
//                                            "pieces": ["red 1"], "points": 50}]},
//               {"name": "right", "rules": [...]}]
#ifndef KESTRIX_SIM_CHALLENGE_H
#define KESTRIX_SIM_CHALLENGE_H

#include "world/world.h"

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace kxsim {

struct Range
{
    double low = 0, high = 0;
    bool contains(double value) const { return value >= low && value <= high; }
};

struct Rule
{
    enum class Kind {
        PiecesInZone, RobotInZone, Pose, LineShare, Laps, Console, Pin, Motors, // scoring
        WallTouch, LeaveField, PieceOffTable, MotorsAtExit                      // penalties
    };
    Kind kind = Kind::PiecesInZone;
    std::string label;               // "name" given in the file, or one made from the rule
    double points = 0;               // per piece, per lap, per touch for the counting rules
    std::optional<double> at;        // a time of the run; none: its end
    int zone = -1;                   // index into the world's zones
    std::vector<int> pieces;         // indices into the world's pieces
    std::optional<Range> x, y, heading;
    int port = 0;                    // analog port, pin
    double threshold = 2000;         // line_share: a reading at least this is tape
    double share = 0;                // line_share: the share of the run on tape that scores
    Point around;                    // laps: the point a lap goes round
    int count = 1;                   // laps: the laps that score; a cap for the counting rules
    std::string pattern;             // console: as written
    std::regex regex;                // console
    double before = 0;               // console: the line must come by then
    int level = 0;                   // pin
    std::vector<int> motors;         // motors
    bool running = false;            // motors: the state that scores
};

// One robot's part of a match: its rules and its pass mark.
struct Side
{
    std::string name;          // "left", or "robot N"
    std::vector<Rule> rules;
    double passMark = 0;
};

struct Challenge
{
    std::string path;
    std::string name;
    std::string worldText;   // the world document, with the challenge's zones
    std::string worldFile = "world.json"; // the world file's own name, for the run's copy
    World world;
    double timeLimit = 0;
    int seeds = 1;
    std::optional<Range> startX, startY, startHeading, battery;
    std::vector<std::string> startSteps; // script lines
    std::vector<Rule> rules; // of the one robot; empty in a match
    double passMark = 0;
    std::vector<Side> sides; // a match's, one per robot; empty for one robot
    bool match() const { return !sides.empty(); }
};

// Reads and checks a challenge file and the world it names; on failure
// returns false with `error` set to one line naming the file, the place and
// the fault (an unknown rule, a zone or piece the world lacks, ...).
bool loadChallenge(const std::string &path, Challenge &challenge, std::string &error);
bool parseChallenge(const std::string &text, const std::string &path, Challenge &challenge, std::string &error);

// What a run drew from its seed.
struct Variation
{
    Pose start;
    std::optional<double> batteryVolts;
};
Variation drawVariation(const Challenge &challenge, std::uint64_t seed);
// The world document of a run: the challenge's, the robot at the drawn start.
std::string worldForRun(const Challenge &challenge, const Variation &variation);
// The script of a run: the start steps, the drawn battery at 0 s.
std::string scriptForRun(const Challenge &challenge, const Variation &variation);

// ---- The run, as the launcher saw it ------------------------------------------

// One row of the trace: what scoring needs of it.
struct Sample
{
    double time = 0;
    double motorSpeed[4] = {};
    unsigned digital = 0;   // bit n: the level pin n reads
    int analog[6] = {};
    Pose pose;
    std::vector<Point> pieces;
};

struct ConsoleLine
{
    double time = 0; // simulated, when the launcher read it
    std::string text;
};

struct RunRecord
{
    std::vector<Sample> samples;   // every 0.1 s and the end
    std::vector<ConsoleLine> console;
    double endTime = 0;
    bool endedByLimit = false;     // the time limit ended the program
    std::string ending;            // "exited with status 0", "was killed by signal 11 (...)", ...
    bool motorRunningAtEnd[4] = {}; // as the program left them commanded
};

// Reads a trace written for a run of `world`; false with `error` set when it
// does not have the columns the world gives it. In a match's trace every
// robot's columns carry its prefix ("r1_", "r2_"), the pieces' none.
bool readTrace(const std::string &path, const World &world, std::vector<Sample> &samples, std::string &error,
               const std::string &prefix = "");

struct RuleScore
{
    std::string label;
    double points = 0;   // what it gave (negative for a penalty)
    double most = 0;     // what it could give at best (0 for a penalty)
    std::string detail;  // what scored and when, or what was missing
};

struct Score
{
    std::vector<RuleScore> rules;
    double total = 0;
    double best = 0;
    bool passed = false;
};

Score score(const Challenge &challenge, const RunRecord &run);

// A match's score: each side's by its own rules from its robot's run, and
// the result: the side with the most points won; equal totals are a draw.
struct MatchScore
{
    std::vector<Score> sides;
    int winner = -1; // the side's index, -1 for a draw
};
MatchScore scoreMatch(const Challenge &challenge, const std::vector<RunRecord> &runs);
// "robot 1 won", "a draw"
std::string matchResult(const MatchScore &score);

// The breakdown as kestrix-sim prints it, and the report as --report writes it.
std::string describeScore(const Challenge &challenge, const Score &score, std::uint64_t seed);
std::string reportJson(const Challenge &challenge, const Score &score, const RunRecord &run,
                       const std::string &program, std::uint64_t seed);
std::string describeMatch(const Challenge &challenge, const MatchScore &score, const std::vector<std::string> &programs,
                          std::uint64_t seed);
std::string matchReportJson(const Challenge &challenge, const MatchScore &score, const std::vector<RunRecord> &runs,
                            const std::vector<std::string> &programs, std::uint64_t seed);

} // namespace kxsim

#endif
