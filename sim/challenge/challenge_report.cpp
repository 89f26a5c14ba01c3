// A challenge's score in words for the terminal, and in JSON for the
// report that kestrix-grade reads.
#include "challenge/challenge.h"

#include <nlohmann/json.hpp>

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

} // namespace

std::string describeScore(const Challenge &challenge, const Score &score, std::uint64_t seed)
{
    std::string text = "kestrix-sim: challenge \"" + challenge.name + "\" (seed " + std::to_string(seed)
                       + "): " + points(score.total) + " of " + points(score.best) + " points, pass mark "
                       + points(challenge.passMark) + ": " + (score.passed ? "passed" : "failed") + "\n";
    for (const RuleScore &rule : score.rules) {
        char head[64];
        if (rule.most > 0)
            std::snprintf(head, sizeof head, "  %+6g of %-5g ", rule.points, rule.most);
        else
            std::snprintf(head, sizeof head, "  %+6g          ", rule.points);
        text += head + rule.label + ": " + rule.detail + "\n";
    }
    return text;
}

std::string reportJson(const Challenge &challenge, const Score &score, const RunRecord &run,
                       const std::string &program, std::uint64_t seed)
{
    using nlohmann::json;
    json rules = json::array();
    for (const RuleScore &rule : score.rules)
        rules.push_back({{"rule", rule.label}, {"points", rule.points}, {"most", rule.most}, {"detail", rule.detail}});
    json console = json::array();
    for (std::size_t n = 0; n < run.console.size() && n < ReportedLines; ++n)
        console.push_back({{"time", run.console[n].time}, {"text", run.console[n].text}});
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
