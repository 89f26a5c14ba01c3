// A challenge's score in words for the terminal, and in JSON for the
// report that kestrix-grade reads.
#include "challenge/challenge.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace kxsim {

namespace {

std::string points(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// What a report keeps of the console: the first lines, then a note.
constexpr std::size_t ReportedLines = 500;

std::string breakdown(const Score &score, const char *indent)
{
    std::string text;
    for (const RuleScore &rule : score.rules) {
        char head[64];
        if (rule.most > 0)
            std::snprintf(head, sizeof head, "%s%+6g of %-5g ", indent, rule.points, rule.most);
        else
            std::snprintf(head, sizeof head, "%s%+6g          ", indent, rule.points);
        text += head + rule.label + ": " + rule.detail + "\n";
    }
    return text;
}

nlohmann::json rulesJson(const Score &score)
{
    nlohmann::json rules = nlohmann::json::array();
    for (const RuleScore &rule : score.rules)
        rules.push_back({{"rule", rule.label}, {"points", rule.points}, {"most", rule.most}, {"detail", rule.detail}});
    return rules;
}

nlohmann::json consoleJson(const RunRecord &run)
{
    nlohmann::json console = nlohmann::json::array();
    for (std::size_t n = 0; n < run.console.size() && n < ReportedLines; ++n)
        console.push_back({{"time", run.console[n].time}, {"text", run.console[n].text}});
    return console;
}

} // namespace

std::string describeScore(const Challenge &challenge, const Score &score, std::uint64_t seed)
{
    return "kestrix-sim: challenge \"" + challenge.name + "\" (seed " + std::to_string(seed) + "): "
           + points(score.total) + " of " + points(score.best) + " points, pass mark " + points(challenge.passMark)
           + ": " + (score.passed ? "passed" : "failed") + "\n" + breakdown(score, "  ");
}

std::string describeMatch(const Challenge &challenge, const MatchScore &score, const std::vector<std::string> &programs,
                          std::uint64_t seed)
{
    std::string totals;
    for (const Score &side : score.sides)
        totals += (totals.empty() ? "" : " to ") + points(side.total);
    std::string text = "kestrix-sim: match \"" + challenge.name + "\" (seed " + std::to_string(seed)
                       + "): " + matchResult(score) + ", " + totals + "\n";
    for (std::size_t n = 0; n < score.sides.size(); ++n) {
        const Score &side = score.sides[n];
        text += "  robot " + std::to_string(n + 1) + ", " + challenge.sides[n].name + " ("
                + (n < programs.size() ? programs[n] : "") + "): " + points(side.total) + " of " + points(side.best)
                + " points, pass mark " + points(challenge.sides[n].passMark) + ": "
                + (side.passed ? "passed" : "failed") + "\n" + breakdown(side, "    ");
    }
    return text;
}

std::string matchReportJson(const Challenge &challenge, const MatchScore &score, const std::vector<RunRecord> &runs,
                            const std::vector<std::string> &programs, std::uint64_t seed)
{
    using nlohmann::json;
    json sides = json::array();
    double simulated = 0;
    for (std::size_t n = 0; n < score.sides.size(); ++n) {
        const Score &side = score.sides[n];
        simulated = std::max(simulated, runs[n].endTime);
        sides.push_back({
            {"robot", n + 1},
            {"side", challenge.sides[n].name},
            {"program", n < programs.size() ? programs[n] : ""},
            {"score", side.total},
            {"best", side.best},
            {"pass_mark", challenge.sides[n].passMark},
            {"passed", side.passed},
            {"ending", runs[n].ending},
            {"simulated_s", runs[n].endTime},
            {"rules", rulesJson(side)},
            {"console", consoleJson(runs[n])},
            {"console_lines", runs[n].console.size()},
        });
    }
    json report = {
        {"challenge", challenge.name},
        {"challenge_file", challenge.path},
        {"match", true},
        {"seed", seed},
        {"result", matchResult(score)},
        {"winner", score.winner < 0 ? json(nullptr) : json(score.winner + 1)},
        {"simulated_s", simulated},
        {"sides", sides},
    };
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string reportJson(const Challenge &challenge, const Score &score, const RunRecord &run,
                       const std::string &program, std::uint64_t seed)
{
    using nlohmann::json;
    const json rules = rulesJson(score), console = consoleJson(run);
    json report = {
        {"challenge", challenge.name},
        {"challenge_file", challenge.path},
        {"program", program},
        {"seed", seed},
        {"score", score.total},
        {"best", score.best},
        {"pass_mark", challenge.passMark},
        {"passed", score.passed},
        {"ending", run.ending},
        {"simulated_s", run.endTime},
        {"rules", rules},
        {"console", console},
        {"console_lines", run.console.size()},
    };
    return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace kxsim
