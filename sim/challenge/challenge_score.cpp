// Scoring one run against a challenge's rules, from the trace (a row every
// 0.1 s of simulated time and one at the end), the program's console and the
// controller's state at the end. Each rule says what it gave and why.
#include "challenge/challenge.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace kxsim {

namespace {

// A wheel turning slower than this (ticks/s) stands; the model's speed at
// rest is exactly 0, its noise lives in the sensors.
constexpr double StandingSpeed = 1;
// The body counts as touching a wall within this much of it: the physics
// keeps the two a hair apart.
constexpr double TouchMargin = 0.005;

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

double distance(Point p, Segment s)
{
    const double dx = s.b.x - s.a.x, dy = s.b.y - s.a.y;
    const double length = dx * dx + dy * dy;
    const double t = length > 0 ? std::clamp(((p.x - s.a.x) * dx + (p.y - s.a.y) * dy) / length, 0.0, 1.0) : 0;
    return std::hypot(p.x - (s.a.x + t * dx), p.y - (s.a.y + t * dy));
}

double distanceToZone(const Zone &zone, Point p)
{
    if (zone.contains(p))
        return 0;
    double nearest = INFINITY;
    for (std::size_t k = 0, j = zone.polygon.size() - 1; k < zone.polygon.size(); j = k++)
        nearest = std::min(nearest, distance(p, Segment{zone.polygon[j], zone.polygon[k]}));
    return nearest;
}

// The row the rule looks at: the last at or before `at`, or the end.
const Sample &sampleAt(const RunRecord &run, const std::optional<double> &at)
{
    if (!at || *at >= run.endTime)
        return run.samples.back();
    const Sample *found = &run.samples.front();
    for (const Sample &sample : run.samples)
        if (sample.time <= *at + 1e-9)
            found = &sample;
    return *found;
}

std::string when(const RunRecord &run, const std::optional<double> &at)
{
    if (at && *at < run.endTime)
        return format("at %.1f s", *at);
    return format("at the end (%.1f s)", run.endTime);
}

// Since when `inside` has held without a break up to the row `last`.
template <typename Test>
double heldSince(const RunRecord &run, const Sample &last, Test inside)
{
    double since = last.time;
    for (const Sample &sample : run.samples) {
        if (sample.time > last.time)
            break;
        if (!inside(sample))
            since = -1;
        else if (since < 0 || since > sample.time)
            since = sample.time;
    }
    return since < 0 ? last.time : since;
}

bool headingIn(const Range &range, double heading)
{
    for (double turn : {-360.0, 0.0, 360.0})
        if (range.contains(heading + turn))
            return true;
    return false;
}

std::string pieceName(const World &world, int n)
{
    const std::string &name = world.pieces[std::size_t(n)].name;
    return name.empty() ? "piece " + std::to_string(n) : name;
}

bool motorRunning(const Sample &sample, int m)
{
    return std::fabs(sample.motorSpeed[m]) >= StandingSpeed;
}

RuleScore scoreRule(const Challenge &c, const Rule &rule, const RunRecord &run)
{
    RuleScore result;
    result.label = rule.label;
    result.most = rule.points >= 0 ? rule.points : 0;
    const World &world = c.world;
    switch (rule.kind) {
    case Rule::Kind::PiecesInZone: {
        const Zone &zone = world.zones[std::size_t(rule.zone)];
        const Sample &at = sampleAt(run, rule.at);
        std::string in;
        std::vector<std::pair<double, int>> outside;
        int count = 0;
        for (int n : rule.pieces) {
            const Point p = at.pieces[std::size_t(n)];
            if (zone.contains(p)) {
                ++count;
                const double since = heldSince(run, at, [&](const Sample &s) { return zone.contains(s.pieces[std::size_t(n)]); });
                in += (in.empty() ? "" : ", ") + pieceName(world, n) + format(" (since %.1f s)", since);
            } else {
                outside.push_back({distanceToZone(zone, p), n});
            }
        }
        const int scored = std::min(count, rule.count);
        result.most = rule.points * rule.count;
        result.points = rule.points * scored;
        result.detail = format("%d inside ", count) + when(run, rule.at);
        if (!in.empty())
            result.detail += ": " + in;
        // Where the points went: the pieces that came nearest.
        std::sort(outside.begin(), outside.end());
        for (std::size_t k = 0; k < outside.size() && k < 3 && count < rule.count; ++k)
            result.detail += (k ? ", " : "; nearest outside: ") + pieceName(world, outside[k].second)
                             + format(" %.2f m away", outside[k].first);
        break;
    }
    case Rule::Kind::RobotInZone: {
        const Zone &zone = world.zones[std::size_t(rule.zone)];
        const Sample &at = sampleAt(run, rule.at);
        const Point p{at.pose.x, at.pose.y};
        if (zone.contains(p)) {
            result.points = rule.points;
            const double since = heldSince(run, at, [&](const Sample &s) { return zone.contains({s.pose.x, s.pose.y}); });
            result.detail = "inside " + when(run, rule.at) + format(", since %.1f s", since);
        } else {
            result.detail = "not inside " + when(run, rule.at)
                            + format(": at (%.2f, %.2f), %.2f m from it", p.x, p.y, distanceToZone(zone, p));
        }
        break;
    }
    case Rule::Kind::Pose: {
        const Sample &at = sampleAt(run, rule.at);
        std::string wrong;
        if (rule.x && !rule.x->contains(at.pose.x))
            wrong += format("x %.2f not in %.2f to %.2f; ", at.pose.x, rule.x->low, rule.x->high);
        if (rule.y && !rule.y->contains(at.pose.y))
            wrong += format("y %.2f not in %.2f to %.2f; ", at.pose.y, rule.y->low, rule.y->high);
        if (rule.heading && !headingIn(*rule.heading, at.pose.headingDeg))
            wrong += format("heading %.0f deg not in %.0f to %.0f; ", at.pose.headingDeg, rule.heading->low,
                            rule.heading->high);
        result.points = wrong.empty() ? rule.points : 0;
        result.detail = format("(%.2f, %.2f) heading %.0f deg ", at.pose.x, at.pose.y, at.pose.headingDeg)
                        + when(run, rule.at) + (wrong.empty() ? "" : ": " + wrong.substr(0, wrong.size() - 2));
        break;
    }
    case Rule::Kind::LineShare: {
        // The end row repeats the last moment; the rows every 0.1 s weigh alike.
        std::size_t rows = 0, onTape = 0;
        for (std::size_t n = 0; n < run.samples.size(); ++n) {
            if (n + 1 == run.samples.size() && n > 0 && run.samples[n].time - run.samples[n - 1].time < 0.1 - 1e-6)
                break;
            ++rows;
            onTape += run.samples[n].analog[rule.port] >= rule.threshold;
        }
        const double share = rows ? double(onTape) / double(rows) : 0;
        result.points = share >= rule.share ? rule.points : 0;
        result.detail = format("analog %d on tape %.0f %% of the run (%zu of %zu rows), %s %.0f %%", rule.port,
                               100 * share, onTape, rows, share >= rule.share ? "needs" : "short of", 100 * rule.share);
        break;
    }
    case Rule::Kind::Laps: {
        // Laps are whole turns of the robot's bearing from the point the
        // course goes round: spinning on the spot or driving to and fro
        // turns it not at all.
        double turned = 0, previous = NAN;
        std::vector<double> done;
        for (const Sample &s : run.samples) {
            const double bearing = std::atan2(s.pose.y - rule.around.y, s.pose.x - rule.around.x) * 180 / M_PI;
            if (!std::isnan(previous))
                turned += std::remainder(bearing - previous, 360.0);
            previous = bearing;
            if (std::fabs(turned) >= 360.0 * double(done.size() + 1))
                done.push_back(s.time);
        }
        const int laps = int(done.size());
        result.most = rule.points * rule.count;
        result.points = rule.points * std::min(laps, rule.count);
        result.detail = format("%d round (%.2f, %.2f), %.2f turns in all", laps, rule.around.x, rule.around.y,
                               std::fabs(turned) / 360);
        for (std::size_t n = 0; n < done.size() && n < 5; ++n)
            result.detail += format("%s %.1f s", n ? "," : "; done at", done[n]);
        break;
    }
    case Rule::Kind::Console: {
        const ConsoleLine *match = nullptr;
        for (const ConsoleLine &line : run.console)
            if (std::regex_search(line.text, rule.regex)) {
                match = &line;
                break;
            }
        if (match && match->time <= rule.before + 1e-9) {
            result.points = rule.points;
            result.detail = format("printed at %.1f s", match->time);
        } else if (match) {
            result.detail = format("printed only at %.1f s, after %.1f s", match->time, rule.before);
        } else {
            result.detail = format("no line matched (%zu printed)", run.console.size());
        }
        break;
    }
    case Rule::Kind::Pin: {
        const Sample &at = sampleAt(run, rule.at);
        const int level = (at.digital >> rule.port) & 1;
        result.points = level == rule.level ? rule.points : 0;
        result.detail = format("pin %d read %d ", rule.port, level) + when(run, rule.at);
        break;
    }
    case Rule::Kind::Motors: {
        const Sample &at = sampleAt(run, rule.at);
        std::string wrong;
        for (int m : rule.motors) {
            const bool running = rule.at && *rule.at < run.endTime ? motorRunning(at, m) : run.motorRunningAtEnd[m];
            if (running != rule.running)
                wrong += format("%s%d", wrong.empty() ? "" : ", ", m);
        }
        result.points = wrong.empty() ? rule.points : 0;
        result.detail = (wrong.empty() ? std::string("all ") + (rule.running ? "running " : "stopped ")
                                       : "motor " + wrong + (rule.running ? " not running " : " still running "))
                        + when(run, rule.at);
        break;
    }
    case Rule::Kind::WallTouch: {
        std::vector<double> touches;
        bool touching = false;
        for (const Sample &s : run.samples) {
            double nearest = INFINITY;
            for (const Segment &wall : world.walls)
                nearest = std::min(nearest, distance({s.pose.x, s.pose.y}, wall));
            const bool now = nearest < world.robot.radius + TouchMargin;
            if (now && !touching)
                touches.push_back(s.time);
            touching = now;
        }
        result.points = rule.points * double(std::min(int(touches.size()), rule.count));
        result.detail = touches.empty() ? "none" : format("%zu, at", touches.size());
        for (std::size_t n = 0; n < touches.size() && n < 5; ++n)
            result.detail += format("%s %.1f s", n ? "," : "", touches[n]);
        break;
    }
    case Rule::Kind::LeaveField: {
        result.detail = "never";
        for (const Sample &s : run.samples) {
            const Point p{s.pose.x, s.pose.y};
            const bool out = rule.zone >= 0 ? !world.zones[std::size_t(rule.zone)].contains(p)
                                            : p.x < 0 || p.y < 0 || p.x > world.width || p.y > world.height;
            if (out) {
                result.points = rule.points;
                result.detail = format("at %.1f s, at (%.2f, %.2f)", s.time, p.x, p.y);
                break;
            }
        }
        break;
    }
    case Rule::Kind::PieceOffTable: {
        std::string off;
        int count = 0;
        for (std::size_t n = 0; n < world.pieces.size(); ++n)
            for (const Sample &s : run.samples) {
                const Point p = s.pieces[n];
                if (p.x < 0 || p.y < 0 || p.x > world.width || p.y > world.height) {
                    ++count;
                    off += format("%s%s at %.1f s", off.empty() ? "" : ", ", pieceName(world, int(n)).c_str(), s.time);
                    break;
                }
            }
        result.points = rule.points * double(std::min(count, rule.count));
        result.detail = off.empty() ? "none" : off;
        break;
    }
    case Rule::Kind::MotorsAtExit: {
        std::string running;
        for (int m = 0; m < 4; ++m)
            if (run.motorRunningAtEnd[m])
                running += format("%s%d", running.empty() ? "" : ", ", m);
        if (run.endedByLimit) {
            result.detail = "the time limit ended the program";
        } else if (running.empty()) {
            result.detail = "all stopped when the program " + run.ending;
        } else {
            result.points = rule.points;
            result.detail = "motor " + running + format(" still running when the program %s at %.1f s",
                                                        run.ending.c_str(), run.endTime);
        }
        break;
    }
    }
    return result;
}

} // namespace

namespace {

Score scoreRules(const Challenge &challenge, const std::vector<Rule> &rules, double passMark, const RunRecord &run)
{
    Score result;
    for (const Rule &rule : rules) {
        if (run.samples.empty()) {
            result.rules.push_back({rule.label, 0, rule.points > 0 ? rule.points : 0, "the run left no trace"});
            continue;
        }
        result.rules.push_back(scoreRule(challenge, rule, run));
    }
    for (RuleScore &rule : result.rules) {
        rule.points += 0.0; // no "-0" for a penalty that took nothing
        result.total += rule.points;
        result.best += rule.most;
    }
    // Penalties take points away, down to none.
    result.total = std::max(result.total, 0.0);
    result.passed = result.total >= passMark;
    return result;
}

} // namespace

Score score(const Challenge &challenge, const RunRecord &run)
{
    return scoreRules(challenge, challenge.rules, challenge.passMark, run);
}

MatchScore scoreMatch(const Challenge &challenge, const std::vector<RunRecord> &runs)
{
    MatchScore result;
    for (std::size_t n = 0; n < challenge.sides.size() && n < runs.size(); ++n)
        result.sides.push_back(scoreRules(challenge, challenge.sides[n].rules, challenge.sides[n].passMark, runs[n]));
    double top = -1;
    for (std::size_t n = 0; n < result.sides.size(); ++n) {
        if (result.sides[n].total > top) {
            top = result.sides[n].total;
            result.winner = int(n);
        } else if (result.sides[n].total == top) {
            result.winner = -1;
        }
    }
    return result;
}

std::string matchResult(const MatchScore &score)
{
    return score.winner < 0 ? "a draw" : "robot " + std::to_string(score.winner + 1) + " won";
}

} // namespace kxsim
