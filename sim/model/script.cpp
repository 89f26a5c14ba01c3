#include "model/script.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr const char *ButtonNames[] = {"a", "b", "c", "x", "y", "z", "side"};
constexpr std::int64_t ClickHoldUs = 100000;
// Two turns a second is faster than any wheeled robot of this size turns;
// beyond it a typo (3600 for 360) would only blur the camera's pictures.
constexpr double MaxSpinDps = 720;

using Arguments = std::vector<std::string>;
using Events = std::vector<ScriptEvent>;

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

// Fills `event` with one line's arguments and appends it (or more) to the
// events; returns why it cannot, empty when it could.
using Parse = std::string (*)(const Arguments &, ScriptEvent, Events &);

struct Command
{
    ScriptCommand help;
    std::size_t argumentCount;
    Parse parse;
};

std::string button(const std::string &name, ScriptEvent &event)
{
    event.port = buttonId(name);
    return event.port < 0 ? "unknown button '" + name + "' (a b c x y z side)" : "";
}

// PORT and VALUE-or-none, both whole numbers in range; `port` and `value`
// name them in the messages ("digital pin", "digital level").
std::string portAndValue(const Arguments &a, ScriptEvent &event, const std::string &port, int lastPort,
                         const std::string &value, int lastValue)
{
    const auto number = integer(a[0], 0, lastPort);
    if (!number)
        return port + " must be 0-" + std::to_string(lastPort) + ", not '" + a[0] + "'";
    event.port = *number;
    if (a[1] == "none")
        return "";
    const auto level = integer(a[1], 0, lastValue);
    if (!level)
        return value + " must be " + (lastValue == 1 ? "0, 1" : "0-" + std::to_string(lastValue)) + " or none, not '"
               + a[1] + "'";
    event.value = *level;
    return "";
}

const Command Commands[] = {
    {{"press", "BUTTON", "the button goes down (a b c x y z side)"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         event.kind = ScriptEvent::Kind::Press;
         std::string why = button(a[0], event);
         if (why.empty())
             out.push_back(event);
         return why;
     }},
    {{"release", "BUTTON", "the button comes up"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         event.kind = ScriptEvent::Kind::Release;
         std::string why = button(a[0], event);
         if (why.empty())
             out.push_back(event);
         return why;
     }},
    {{"click", "BUTTON", "press now, release 0.1 s later"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         event.kind = ScriptEvent::Kind::Press;
         std::string why = button(a[0], event);
         if (why.empty()) {
             out.push_back(event);
             event.kind = ScriptEvent::Kind::Release;
             event.atUs += ClickHoldUs;
             out.push_back(event);
         }
         return why;
     }},
    {{"digital", "PIN 0|1|none", "level on input pin 0-15; none: nothing connected"}, 2,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         event.kind = ScriptEvent::Kind::Digital;
         std::string why = portAndValue(a, event, "digital pin", 15, "digital level", 1);
         if (why.empty())
             out.push_back(event);
         return why;
     }},
    {{"analog", "PORT VALUE|none", "analog port 0-5 reads 0-4095; none: disconnected"}, 2,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         event.kind = ScriptEvent::Kind::Analog;
         std::string why = portAndValue(a, event, "analog port", 5, "analog value", 4095);
         if (why.empty())
             out.push_back(event);
         return why;
     }},
    {{"heading", "DEGREES", "compass heading, clockwise from north"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         const auto degrees = number(a[0]);
         if (!degrees)
             return "heading must be a number of degrees, not '" + a[0] + "'";
         event.kind = ScriptEvent::Kind::Heading;
         event.value = *degrees;
         out.push_back(event);
         return std::string();
     }},
    {{"spin", "DEG_PER_S", "turn on the spot, + counter-clockwise; 0 stops"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         const auto rate = number(a[0]);
         if (!rate || std::fabs(*rate) > MaxSpinDps)
             return "spin rate must be -720 to 720 degrees a second, not '" + a[0] + "'";
         event.kind = ScriptEvent::Kind::Spin;
         event.value = *rate;
         out.push_back(event);
         return std::string();
     }},
    {{"battery", "VOLTS", "battery voltage, 0 to 100"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         const auto volts = number(a[0]);
         if (!volts || *volts < 0 || *volts > 100)
             return "battery voltage must be 0 to 100 volts, not '" + a[0] + "'";
         event.kind = ScriptEvent::Kind::Battery;
         event.value = *volts;
         out.push_back(event);
         return std::string();
     }},
    {{"charging", "on|off", "whether the battery reads as charging"}, 1,
     [](const Arguments &a, ScriptEvent event, Events &out) {
         if (a[0] != "on" && a[0] != "off")
             return "charging takes on or off, not '" + a[0] + "'";
         event.kind = ScriptEvent::Kind::Charging;
         event.value = a[0] == "on" ? 1 : 0;
         out.push_back(event);
         return std::string();
     }},
};

const Command *findCommand(const std::string &name)
{
    for (const Command &command : Commands)
        if (name == command.help.name)
            return &command;
    return nullptr;
}

std::string commandNames()
{
    std::string names;
    for (const Command &command : Commands)
        names += std::string(names.empty() ? "" : " ") + command.help.name;
    return names;
}

// One line of at most MaxScriptLine bytes; false at the end of the input.
// `tooLong` is set, and the rest of the input left unread, when the line
// does not end in time.
bool boundedLine(std::istream &input, std::string &line, bool &tooLong)
{
    line.clear();
    tooLong = false;
    std::streambuf *buffer = input.rdbuf();
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof())
            return !line.empty();
        if (c == '\n')
            return true;
        if (line.size() == MaxScriptLine) {
            tooLong = true;
            return true;
        }
        line += char(c);
    }
}

// The words of a line without its comment.
Arguments words(std::string text)
{
    const std::size_t hash = text.find('#');
    if (hash != std::string::npos)
        text.resize(hash);
    std::istringstream stream(text);
    Arguments tokens;
    for (std::string token; stream >> token;)
        tokens.push_back(token);
    return tokens;
}

// The events of one line, or why it is malformed.
std::string parseLine(const Arguments &tokens, int lineNumber, Events &events)
{
    std::string timeText = tokens[0];
    if (timeText.size() > 1 && timeText.back() == 's')
        timeText.pop_back();
    const auto seconds = number(timeText);
    if (!seconds || *seconds < 0 || *seconds > MaxScriptSeconds)
        return "expected a time in seconds, not '" + tokens[0] + "'";
    if (tokens.size() < 2)
        return "missing command after the time";
    const Command *command = findCommand(tokens[1]);
    if (command == nullptr)
        return "unknown command '" + tokens[1] + "' (" + commandNames() + ")";
    const Arguments arguments(tokens.begin() + 2, tokens.end());
    if (arguments.size() != command->argumentCount)
        return std::string("expected TIME ") + command->help.name + " " + command->help.arguments;
    ScriptEvent event;
    event.atUs = std::int64_t(std::llround(*seconds * 1e6));
    event.line = lineNumber;
    return command->parse(arguments, event, events);
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

const std::vector<ScriptCommand> &scriptCommands()
{
    static const std::vector<ScriptCommand> s_list = [] {
        std::vector<ScriptCommand> list;
        for (const Command &command : Commands)
            list.push_back(command.help);
        return list;
    }();
    return s_list;
}

bool parseScript(std::istream &input, const std::string &name, std::vector<ScriptEvent> &events,
                 std::string &error)
{
    events.clear();
    std::string text;
    bool tooLong = false;
    for (int lineNumber = 1; boundedLine(input, text, tooLong); ++lineNumber) {
        std::string why;
        if (tooLong)
            why = "line longer than " + std::to_string(MaxScriptLine) + " bytes (is this a script?)";
        else if (const Arguments tokens = words(text); !tokens.empty())
            why = parseLine(tokens, lineNumber, events);
        if (!why.empty()) {
            error = name + ":" + std::to_string(lineNumber) + ": " + why;
            events.clear();
            return false;
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const ScriptEvent &a, const ScriptEvent &b) { return a.atUs < b.atUs; });
    return true;
}

bool parseScriptFile(const std::string &path, std::vector<ScriptEvent> &events, std::string &error)
{
    const auto cannot = [&](const std::string &why) {
        error = "cannot read script " + path + ": " + why;
        return false;
    };
    // Not blocked by a pipe that nobody writes: it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return cannot(std::strerror(errno));
    struct stat info{};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
        const int error = errno;
        ::close(fd);
        // The launcher checks the script and the program reads it again: a
        // pipe would be empty by then.
        return cannot(S_ISDIR(info.st_mode)    ? "it is a folder"
                      : S_ISFIFO(info.st_mode) ? "it is a pipe, read once; the script is read twice, give a file"
                      : S_ISSOCK(info.st_mode) ? "it is a socket"
                                               : std::strerror(error));
    }
    // The whole file, read until a line is too long for a script (the
    // parser then says so) or the file too large to be one.
    std::string text;
    std::size_t lineStart = 0;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return cannot(std::strerror(error));
        }
        if (got == 0)
            break;
        text.append(chunk, std::size_t(got));
        const std::size_t newline = text.rfind('\n');
        if (newline != std::string::npos && newline >= lineStart)
            lineStart = newline + 1;
        if (text.size() - lineStart > MaxScriptLine)
            break;
        if (text.size() > MaxScriptBytes) {
            ::close(fd);
            return cannot("larger than " + std::to_string(MaxScriptBytes) + " bytes");
        }
    }
    ::close(fd);
    std::istringstream input(text);
    return parseScript(input, path, events, error);
}

} // namespace kxsim
