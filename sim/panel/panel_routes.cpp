// What the panel answers: the page, the state, the screen and the world for
// a GET, and the controls that a POST passes on to the program.
#include "panel/panel_state.h"

#include "model/script.h"
#include "panel_page.h" // generated from panel/page at build time

#include <cmath>
#include <fstream>
#include <sstream>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kxsim {

namespace {

constexpr const char *ChartLibraryFolder = "/usr/share/javascript/dygraphs";

std::optional<Refusal> parseBody(const std::string &text, json &body)
{
    body = json::parse(text, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        return Refusal{400, "the body must be a JSON object, as {\"value\": 1}"};
    return std::nullopt;
}

// A whole number in [low, high] from a path part.
std::optional<int> pathNumber(const std::string &text, int low, int high)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

// The path's parts after `prefix`, split at '/'; nullopt when it does not
// start with it.
std::optional<std::vector<std::string>> partsAfter(const std::string &path, const std::string &prefix)
{
    if (path.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::vector<std::string> parts;
    std::size_t start = prefix.size();
    for (;;) {
        const std::size_t slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos)
            return parts;
        start = slash + 1;
    }
}

std::optional<Refusal> inputCommand(const std::string &portText, const std::string &text, PanelCommand::Kind kind,
                                   const PanelServer::Run &run, PanelCommand &command)
{
    const bool analog = kind == PanelCommand::Analog;
    const int lastPort = analog ? 5 : 15;
    const char *what = analog ? "analog port" : "digital pin";
    const std::optional<int> port = pathNumber(portText, 0, lastPort);
    if (!port)
        return Refusal{404, std::string("no ") + what + " '" + portText + "' (0-" + std::to_string(lastPort) + ")"};
    json body;
    if (auto refused = parseBody(text, body))
        return refused;
    if (!body.contains("value"))
        return Refusal{400, "the body needs a value"};
    const std::vector<int> &driven = analog ? run.drivenAnalog : run.drivenDigital;
    if (std::find(driven.begin(), driven.end(), *port) != driven.end())
        return Refusal{409, std::string("the world's sensor drives ") + what + " " + std::to_string(*port)};
    const json &value = body["value"];
    command = PanelCommand{kind, std::int8_t(*port), -1, 0, 0, 0};
    if (value.is_null())
        return std::nullopt;
    const int high = analog ? 4095 : 1;
    if (value.is_boolean() && !analog)
        command.value = value.get<bool>() ? 1 : 0;
    else if (value.is_number_integer() && value.get<std::int64_t>() >= 0 && value.get<std::int64_t>() <= high)
        command.value = value.get<int>();
    else
        return Refusal{400, std::string("the ") + (analog ? "value must be 0-4095" : "level must be 0 or 1") +
                                " or null, not " + value.dump()};
    return std::nullopt;
}

// The plots' library, Debian's, read from where its package puts it.
Answer chartLibrary(const std::string &name)
{
    const std::string file = std::string(ChartLibraryFolder) + "/" + name;
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty())
        return refusal(Refusal{404, file + " is missing: the plots need the package libjs-dygraphs"});
    const bool script = name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0;
    return Answer{200, text.str(), script ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8"};
}

} // namespace

Answer PanelState::get(const std::string &path)
{
    if (path == "/")
        return Answer{200, PanelPageHtml, "text/html; charset=utf-8"};
    if (path == "/panel.css")
        return Answer{200, PanelPageCss, "text/css; charset=utf-8"};
    if (path == "/panel.js")
        return Answer{200, PanelPageJs, "text/javascript; charset=utf-8"};
    if (path == "/state")
        return Answer{200, state(), "application/json", true};
    if (path == "/dygraph.js" || path == "/dygraph.css")
        return chartLibrary(path.substr(1));
    if (std::optional<Answer> recorded = historyGet(path))
        return *recorded;
    if (path == "/world") {
        if (run.worldJson.empty())
            return refusal(Refusal{404, "no world is loaded"});
        return Answer{200, run.worldJson, "application/json"};
    }
    if (path == "/screen")
        return Answer{200, screenRgba(), "application/octet-stream", true};
    return refusal(Refusal{404, "no such place: GET " + path});
}

Answer PanelState::post(const std::string &path, const std::string &text)
{
    if (auto parts = partsAfter(path, "/button/"); parts && parts->size() == 2) {
        const std::string &name = (*parts)[0], &action = (*parts)[1];
        const int id = buttonId(name);
        if (id < 0)
            return refusal(Refusal{404, "unknown button '" + name + "' (a b c x y z side)"});
        if (action != "press" && action != "release")
            return refusal(Refusal{404, "a button is pressed or released, not '" + action + "'"});
        return reply(send(PanelCommand{PanelCommand::Button, std::int8_t(id), action == "press", 0, 0, 0}));
    }
    for (const auto &[prefix, kind] :
         {std::pair{"/analog/", PanelCommand::Analog}, std::pair{"/digital/", PanelCommand::Digital}}) {
        if (auto parts = partsAfter(path, prefix); parts && parts->size() == 1) {
            PanelCommand command{};
            if (auto refused = inputCommand((*parts)[0], text, kind, run, command))
                return refusal(*refused);
            return reply(send(command));
        }
    }
    if (path == "/pause")
        return reply(send(PanelCommand{PanelCommand::Pause, 0, 0, 0, 0, 0}));
    if (path == "/resume")
        return reply(send(PanelCommand{PanelCommand::Resume, 0, 0, 0, 0, 0}));
    if (path == "/step") {
        if (!status.panel.paused.load())
            return refusal(Refusal{409, "a step needs a paused run (POST /pause)"});
        return reply(send(PanelCommand{PanelCommand::Step, 0, 0, 0, 0, 0}));
    }
    if (path == "/speed") {
        json body;
        if (auto refused = parseBody(text, body))
            return refusal(*refused);
        const json factor = body.value("factor", json());
        double value;
        if (factor == "max")
            value = 0;
        else if (factor.is_number() && factor.get<double>() >= 0.001 && factor.get<double>() <= 1000)
            value = factor.get<double>();
        else
            return refusal(Refusal{400, "the factor must be 0.001-1000 or \"max\", not " + factor.dump()});
        return reply(send(PanelCommand{PanelCommand::Speed, 0, 0, value, 0, 0}));
    }
    if (path == "/pose") {
        json body;
        if (auto refused = parseBody(text, body))
            return refusal(*refused);
        double pose[3];
        const char *const names[] = {"x", "y", "heading"};
        for (int i = 0; i < 3; ++i) {
            const json value = body.value(names[i], json());
            if (!value.is_number() || !std::isfinite(value.get<double>()))
                return refusal(Refusal{400, std::string("the pose needs a number ") + names[i]});
            pose[i] = value.get<double>();
        }
        if (!run.hasWorld)
            return refusal(Refusal{409, "no world is loaded (kestrix-sim --world FILE)"});
        if (auto refused = poseRefusal(pose[0], pose[1], pose[2]))
            return refusal(*refused);
        return reply(send(PanelCommand{PanelCommand::Pose, 0, 0, pose[0], pose[1], pose[2]}));
    }
    return refusal(Refusal{404, "no such place: POST " + path});
}

} // namespace kxsim
