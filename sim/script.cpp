#include "script.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kxsim {

namespace {

constexpr const char *ButtonNames[] = {"a", "b", "c", "x", "y", "z", "side"};
constexpr std::int64_t ClickHoldUs = 100000;

// A whole token as a finite number, or nothing.
std::optional<double> number(const std::string &token)
{
    if (token.empty())
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(token.c_str(), &end);
    if (errno != 0 || end == token.c_str() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<int> integer(const std::string &token, int low, int high)
{
    const auto value = number(token);
    if (!value || *value != std::floor(*value) || *value < low || *value > high)
        return std::nullopt;
    return int(*value);
}

} // namespace

int buttonId(const std::string &name)
{
    std::string lower;
    for (char c : name)
        lower += char(std::tolower(static_cast<unsigned char>(c)));
    for (int id = 0; id < 7; ++id)
        if (lower == ButtonNames[id])
            return id;
    return -1;
}

const char *buttonName(int id)
{
    return id >= 0 && id < 7 ? ButtonNames[id] : "?";
}

bool parseScript(std::istream &input, const std::string &name, std::vector<ScriptEvent> &events,
                 std::string &error)
{
    events.clear();
    std::string text;
    int lineNumber = 0;
    while (std::getline(input, text)) {
        ++lineNumber;
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos)
            text.resize(hash);
        std::istringstream words(text);
        std::vector<std::string> tokens;
        for (std::string token; words >> token;)
            tokens.push_back(token);
        if (tokens.empty())
            continue;

        auto fail = [&](const std::string &message) {
            error = name + ":" + std::to_string(lineNumber) + ": " + message;
            events.clear();
            return false;
        };

        std::string timeText = tokens[0];
        if (timeText.size() > 1 && timeText.back() == 's')
            timeText.pop_back();
        const auto seconds = number(timeText);
        if (!seconds || *seconds < 0 || *seconds > 1e9)
            return fail("expected a time in seconds, not '" + tokens[0] + "'");
        if (tokens.size() < 2)
            return fail("missing command after the time");

        ScriptEvent event;
        event.atUs = std::int64_t(std::llround(*seconds * 1e6));
        event.line = lineNumber;
        const std::string &command = tokens[1];
        const std::size_t arguments = tokens.size() - 2;
        auto expect = [&](std::size_t count, const char *usage) {
            if (arguments != count) {
                fail(std::string("'") + command + "' takes " + usage);
                return false;
            }
            return true;
        };

        if (command == "press" || command == "release" || command == "click") {
            if (!expect(1, "a button name (a b c x y z side)"))
                return false;
            event.port = buttonId(tokens[2]);
            if (event.port < 0)
                return fail("unknown button '" + tokens[2] + "' (a b c x y z side)");
            event.kind = command == "release" ? ScriptEvent::Kind::Release : ScriptEvent::Kind::Press;
            events.push_back(event);
            if (command == "click") {
                event.kind = ScriptEvent::Kind::Release;
                event.atUs += ClickHoldUs;
                events.push_back(event);
            }
            continue;
        }
        if (command == "digital") {
            if (!expect(2, "a pin 0-15 and a level 0, 1 or none"))
                return false;
            const auto pin = integer(tokens[2], 0, 15);
            if (!pin)
                return fail("digital pin must be 0-15, not '" + tokens[2] + "'");
            event.kind = ScriptEvent::Kind::Digital;
            event.port = *pin;
            if (tokens[3] != "none") {
                const auto level = integer(tokens[3], 0, 1);
                if (!level)
                    return fail("digital level must be 0, 1 or none, not '" + tokens[3] + "'");
                event.value = *level;
            }
        } else if (command == "analog") {
            if (!expect(2, "a port 0-5 and a value 0-4095 or none"))
                return false;
            const auto port = integer(tokens[2], 0, 5);
            if (!port)
                return fail("analog port must be 0-5, not '" + tokens[2] + "'");
            event.kind = ScriptEvent::Kind::Analog;
            event.port = *port;
            if (tokens[3] != "none") {
                const auto value = integer(tokens[3], 0, 4095);
                if (!value)
                    return fail("analog value must be 0-4095 or none, not '" + tokens[3] + "'");
                event.value = *value;
            }
        } else if (command == "heading") {
            if (!expect(1, "a heading in degrees"))
                return false;
            const auto degrees = number(tokens[2]);
            if (!degrees)
                return fail("heading must be a number of degrees, not '" + tokens[2] + "'");
            event.kind = ScriptEvent::Kind::Heading;
            event.value = *degrees;
        } else if (command == "battery") {
            if (!expect(1, "a voltage"))
                return false;
            const auto volts = number(tokens[2]);
            if (!volts || *volts < 0 || *volts > 100)
                return fail("battery voltage must be 0 to 100 volts, not '" + tokens[2] + "'");
            event.kind = ScriptEvent::Kind::Battery;
            event.value = *volts;
        } else if (command == "charging") {
            if (!expect(1, "on or off"))
                return false;
            if (tokens[2] != "on" && tokens[2] != "off")
                return fail("charging takes on or off, not '" + tokens[2] + "'");
            event.kind = ScriptEvent::Kind::Charging;
            event.value = tokens[2] == "on" ? 1 : 0;
        } else {
            return fail("unknown command '" + command
                        + "' (press release click digital analog heading battery charging)");
        }
        events.push_back(event);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const ScriptEvent &a, const ScriptEvent &b) { return a.atUs < b.atUs; });
    return true;
}

bool parseScriptFile(const std::string &path, std::vector<ScriptEvent> &events, std::string &error)
{
    std::ifstream file(path);
    if (!file) {
        error = "cannot read script " + path + ": " + std::strerror(errno);
        return false;
    }
    return parseScript(file, path, events, error);
}

} // namespace kxsim
