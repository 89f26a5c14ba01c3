#include "panel/panel_server.h"

#include "panel/panel_state.h"
#include "panel_page.h" // generated from panel/page at build time
#include "model/script.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <time.h>
#include <unistd.h>

namespace kxsim {

struct PanelServer::Impl : PanelState
{
    httplib::Server server;
    std::thread thread;
    std::string address;
    int port = 0;

    Impl(SimStatus &s, int fd, const Run &r) : PanelState(s, fd, r) {}

    bool hostAllowed(const httplib::Request &request) const
    {
        if (!request.has_header("Host"))
            return false;
        const std::string host = request.get_header_value("Host");
        const std::string suffix = ":" + std::to_string(port);
        for (const std::string &name : {std::string("127.0.0.1"), std::string("localhost"), address})
            if (host == name + suffix)
                return true;
        return false;
    }
};

namespace {

void reply(httplib::Response &response, const std::optional<Refusal> &refusal)
{
    if (refusal) {
        response.status = refusal->status;
        response.set_content(refusal->reason + "\n", "text/plain");
    } else {
        response.status = 204;
    }
}

// The JSON body of a request, or a refusal.
std::optional<Refusal> parseBody(const httplib::Request &request, json &body)
{
    body = json::parse(request.body, nullptr, false);
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

std::optional<Refusal> inputCommand(const httplib::Request &request, PanelCommand::Kind kind,
                                   const PanelServer::Run &run, PanelCommand &command)
{
    const bool analog = kind == PanelCommand::Analog;
    const int lastPort = analog ? 5 : 15;
    const char *what = analog ? "analog port" : "digital pin";
    const std::optional<int> port = pathNumber(request.matches[1], 0, lastPort);
    if (!port)
        return Refusal{404, std::string("no ") + what + " '" + std::string(request.matches[1]) + "' (0-" +
                                std::to_string(lastPort) + ")"};
    json body;
    if (auto refusal = parseBody(request, body))
        return refusal;
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

} // namespace

PanelServer::PanelServer(SimStatus &status, int screenFd, const Run &run)
    : m_impl(std::make_unique<Impl>(status, screenFd, run))
{
    Impl &impl = *m_impl;
    httplib::Server &server = impl.server;

    // A page from elsewhere could make the browser post to us; only pages
    // that name this address can.
    server.set_pre_routing_handler([&impl](const httplib::Request &request, httplib::Response &response) {
        if (impl.hostAllowed(request))
            return httplib::Server::HandlerResponse::Unhandled;
        reply(response, Refusal{403, "refused: the Host header must name " + impl.address + ":" +
                                         std::to_string(impl.port)});
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request &request, httplib::Response &response) {
        if (response.body.empty() && response.status == 404)
            response.set_content("no such place: " + request.method + " " + request.path + "\n", "text/plain");
    });

    server.Get("/", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(PanelPageHtml, "text/html; charset=utf-8");
    });
    server.Get("/panel.css", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(PanelPageCss, "text/css; charset=utf-8");
    });
    server.Get("/panel.js", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(PanelPageJs, "text/javascript; charset=utf-8");
    });
    server.Get("/state", [&impl](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(impl.state(), "application/json");
    });
    server.Get("/world", [&impl](const httplib::Request &, httplib::Response &response) {
        if (impl.run.worldJson.empty())
            reply(response, Refusal{404, "no world is loaded"});
        else
            response.set_content(impl.run.worldJson, "application/json");
    });
    server.Get("/screen", [&impl](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(impl.screenRgba(), "application/octet-stream");
    });
    server.Get("/events", [&impl](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        {
            std::lock_guard<std::mutex> guard(impl.lock);
            ++impl.streams;
        }
        response.set_chunked_content_provider(
            "text/event-stream",
            [&impl](std::size_t, httplib::DataSink &sink) {
                bool ended;
                {
                    std::lock_guard<std::mutex> guard(impl.lock);
                    ended = impl.ended;
                }
                const std::string event = "data: " + impl.state() + "\n\n";
                if (!sink.write(event.data(), event.size()))
                    return false;
                if (ended || impl.stopping) {
                    sink.done();
                    return true;
                }
                std::this_thread::sleep_for(FramePeriod);
                return true;
            },
            [&impl](bool) {
                std::lock_guard<std::mutex> guard(impl.lock);
                --impl.streams;
                impl.streamsChanged.notify_all();
            });
    });

    server.Post(R"(/button/([^/]+)/([^/]+))", [&impl](const httplib::Request &request, httplib::Response &response) {
        const std::string name = request.matches[1], action = request.matches[2];
        const int id = buttonId(name);
        if (id < 0)
            return reply(response, Refusal{404, "unknown button '" + name + "' (a b c x y z side)"});
        if (action != "press" && action != "release")
            return reply(response, Refusal{404, "a button is pressed or released, not '" + action + "'"});
        reply(response, impl.send(PanelCommand{PanelCommand::Button, std::int8_t(id), action == "press", 0, 0, 0}));
    });
    for (const auto &[path, kind] : {std::pair{R"(/analog/([^/]*))", PanelCommand::Analog},
                                     std::pair{R"(/digital/([^/]*))", PanelCommand::Digital}}) {
        server.Post(path, [&impl, kind = kind](const httplib::Request &request, httplib::Response &response) {
            PanelCommand command{};
            if (auto refusal = inputCommand(request, kind, impl.run, command))
                return reply(response, refusal);
            reply(response, impl.send(command));
        });
    }
    server.Post("/pause", [&impl](const httplib::Request &, httplib::Response &response) {
        reply(response, impl.send(PanelCommand{PanelCommand::Pause, 0, 0, 0, 0, 0}));
    });
    server.Post("/resume", [&impl](const httplib::Request &, httplib::Response &response) {
        reply(response, impl.send(PanelCommand{PanelCommand::Resume, 0, 0, 0, 0, 0}));
    });
    server.Post("/step", [&impl](const httplib::Request &, httplib::Response &response) {
        if (!impl.status.panel.paused.load())
            return reply(response, Refusal{409, "a step needs a paused run (POST /pause)"});
        reply(response, impl.send(PanelCommand{PanelCommand::Step, 0, 0, 0, 0, 0}));
    });
    server.Post("/speed", [&impl](const httplib::Request &request, httplib::Response &response) {
        json body;
        if (auto refusal = parseBody(request, body))
            return reply(response, refusal);
        const json factor = body.value("factor", json());
        double value;
        if (factor == "max")
            value = 0;
        else if (factor.is_number() && factor.get<double>() >= 0.001 && factor.get<double>() <= 1000)
            value = factor.get<double>();
        else
            return reply(response, Refusal{400, "the factor must be 0.001-1000 or \"max\", not " + factor.dump()});
        reply(response, impl.send(PanelCommand{PanelCommand::Speed, 0, 0, value, 0, 0}));
    });
    server.Post("/pose", [&impl](const httplib::Request &request, httplib::Response &response) {
        json body;
        if (auto refusal = parseBody(request, body))
            return reply(response, refusal);
        double pose[3];
        const char *const names[] = {"x", "y", "heading"};
        for (int i = 0; i < 3; ++i) {
            const json value = body.value(names[i], json());
            if (!value.is_number() || !std::isfinite(value.get<double>()))
                return reply(response, Refusal{400, std::string("the pose needs a number ") + names[i]});
            pose[i] = value.get<double>();
        }
        if (!impl.run.hasWorld)
            return reply(response, Refusal{409, "no world is loaded (kestrix-sim --world FILE)"});
        reply(response, impl.send(PanelCommand{PanelCommand::Pose, 0, 0, pose[0], pose[1], pose[2]}));
    });
}

PanelServer::~PanelServer()
{
    stop();
}

bool PanelServer::bind(const std::string &address, int port, std::string &error)
{
    Impl &impl = *m_impl;
    impl.address = address;
    if (port == 0)
        impl.port = impl.server.bind_to_any_port(address);
    else
        impl.port = impl.server.bind_to_port(address, port) ? port : -1;
    if (impl.port <= 0) {
        error = "cannot serve the panel on " + address + ":" + std::to_string(port) +
                (port ? " (is the port taken? choose another with --panel=PORT)" : "");
        return false;
    }
    return true;
}

int PanelServer::port() const
{
    return m_impl->port;
}

void PanelServer::start()
{
    m_impl->thread = std::thread([this] { m_impl->server.listen_after_bind(); });
}

void PanelServer::output(const char *data, std::size_t size)
{
    Impl &impl = *m_impl;
    std::lock_guard<std::mutex> guard(impl.lock);
    impl.console.append(data, size);
    if (impl.console.size() > ConsoleKeep) {
        const std::size_t drop = impl.console.size() - ConsoleKeep / 2;
        impl.console.erase(0, drop);
        impl.consoleDropped += drop;
    }
    impl.snapshot.clear();
}

void PanelServer::finish(int exitStatus, const std::string &summary)
{
    Impl &impl = *m_impl;
    std::lock_guard<std::mutex> guard(impl.lock);
    impl.ended = true;
    impl.exitStatus = exitStatus;
    impl.summary = summary;
    impl.snapshot.clear();
}

void PanelServer::stop()
{
    Impl &impl = *m_impl;
    if (!impl.thread.joinable())
        return;
    {
        std::unique_lock<std::mutex> guard(impl.lock);
        impl.streamsChanged.wait_for(guard, std::chrono::seconds(1), [&impl] { return impl.streams == 0; });
    }
    impl.stopping = true;
    impl.server.stop();
    impl.thread.join();
}

} // namespace kxsim
