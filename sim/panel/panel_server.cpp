#include "panel/panel_server.h"

#include "panel_page.h" // generated from panel/ at build time
#include "model/script.h"
#include "world/world.h"

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

namespace {

using nlohmann::json;

constexpr std::size_t ScreenBytes = std::size_t(PanelScreenColumns) * PanelScreenRows * 4;
constexpr std::size_t ConsoleKeep = 1 << 20; // bytes of output the launcher keeps
constexpr std::size_t ConsoleSent = 16384;   // bytes of it in each snapshot
constexpr auto FramePeriod = std::chrono::milliseconds(40);
constexpr auto SnapshotAge = std::chrono::milliseconds(15); // clients share younger snapshots

double monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A refusal: the status and its one-line reason.
struct Refusal
{
    int status;
    std::string reason;
};

} // namespace

struct PanelServer::Impl
{
    SimStatus &status;
    int screenFd;
    Run run;
    httplib::Server server;
    std::thread thread;
    std::string address;
    int port = 0;
    double startReal = monotonicSeconds();

    std::mutex lock; // everything below
    std::string console;
    std::size_t consoleDropped = 0; // bytes dropped from the front of `console`
    bool ended = false;
    int exitStatus = 0;
    std::string summary;
    std::string snapshot; // the latest state as JSON
    std::chrono::steady_clock::time_point snapshotAt{};
    std::uint64_t screenHash = 0;
    std::deque<std::pair<double, std::uint64_t>> rateSamples; // real seconds, exchanges
    int streams = 0;       // open event streams
    std::condition_variable streamsChanged;
    std::atomic<bool> stopping{false};
    std::mutex commandLock; // one writer of the command ring at a time

    Impl(SimStatus &s, int fd, const Run &r) : status(s), screenFd(fd), run(r) {}

    std::vector<std::uint8_t> screen() const
    {
        std::vector<std::uint8_t> pixels(ScreenBytes);
        const ssize_t got = ::pread(screenFd, pixels.data(), pixels.size(), 0);
        if (got != ssize_t(pixels.size()))
            std::fill(pixels.begin(), pixels.end(), 0);
        return pixels;
    }

    // The screen as RGBA bytes, as a canvas takes them.
    std::string screenRgba() const
    {
        const std::vector<std::uint8_t> pixels = screen();
        std::string rgba(ScreenBytes, '\0');
        for (std::size_t i = 0; i < ScreenBytes; i += 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, &pixels[i], 4);
            rgba[i] = char((value >> 16) & 0xFF);
            rgba[i + 1] = char((value >> 8) & 0xFF);
            rgba[i + 2] = char(value & 0xFF);
            rgba[i + 3] = char(0xFF);
        }
        return rgba;
    }

    static std::uint64_t hash(const std::vector<std::uint8_t> &bytes)
    {
        std::uint64_t h = 1469598103934665603ull;
        for (std::uint8_t b : bytes)
            h = (h ^ b) * 1099511628211ull;
        return h;
    }

    // Called with `lock` held.
    json buildState()
    {
        const SimStatus &s = status;
        const double real = monotonicSeconds() - startReal;
        const double simulated = double(s.simulatedUs.load()) / 1e6;
        rateSamples.emplace_back(real, s.exchanges);
        while (rateSamples.size() > 2 && real - rateSamples[1].first > 1.0)
            rateSamples.pop_front();
        const auto &oldest = rateSamples.front();
        const double rate = real > oldest.first ? double(s.exchanges - oldest.second) / (real - oldest.first) : 0;
        screenHash = hash(screen());

        json state;
        state["program"] = run.program;
        state["running"] = !ended;
        state["time"] = simulated;
        state["real"] = real;
        state["exchanges"] = s.exchanges;
        state["exchange_rate"] = rate;
        const std::int64_t speedMillis = s.panel.speedMillis.load();
        if (s.panel.listening.load())
            state["speed"] = speedMillis == 0 ? json("max") : json(double(speedMillis) / 1000);
        else
            state["speed"] = run.speed == "max" ? json("max") : json(std::strtod(run.speed.c_str(), nullptr));
        state["paused"] = s.panel.paused.load() != 0;
        state["duration"] = run.duration;
        json motors = json::array();
        for (int m = 0; m < 4; ++m) {
            const int mode = (s.modes >> (2 * m)) & 3;
            motors.push_back({{"mode", modeName(mode)},
                              {"direction", directionName(s.directions >> (2 * m))},
                              {"power", s.motorDuty[m]},
                              {"velocity", s.motorVelocity[m]},
                              {"speed", s.motorSpeed[m]},
                              {"position", s.motorPosition[m]},
                              {"done", ((s.motorStatus >> m) & 1) != 0}});
        }
        state["motors"] = motors;
        json servos = json::array();
        for (int n = 0; n < 4; ++n)
            servos.push_back({{"enabled", ((s.servoEnables >> (4 + n)) & 1) != 0},
                              {"command", std::floor(servoPosition(s.servoCommand[n]))},
                              {"pulse", s.servoCommand[n]},
                              {"shaft", servoPosition(s.servoShaft[n])}});
        state["servos"] = servos;
        json digital = json::array();
        for (int n = 0; n < 16; ++n)
            digital.push_back({{"level", (s.digitalIn >> n) & 1},
                               {"output", ((s.digitalDirections >> n) & 1) != 0},
                               {"pullup", ((s.digitalPullups >> n) & 1) != 0}});
        state["digital"] = digital;
        json analog = json::array();
        for (int n = 0; n < 6; ++n)
            analog.push_back({{"value", s.analog[n]}, {"pullup", ((s.analogPullups >> n) & 1) != 0}});
        state["analog"] = analog;
        state["battery"] = s.batteryVolts;
        state["screen"] = {{"columns", PanelScreenColumns}, {"rows", PanelScreenRows},
                           {"version", std::to_string(screenHash)}};
        const std::size_t sent = std::min(console.size(), ConsoleSent);
        state["console"] = {{"start", consoleDropped + console.size() - sent},
                            {"text", console.substr(console.size() - sent)}};
        state["world"] = run.hasWorld;
        state["driven"] = {{"analog", run.drivenAnalog}, {"digital", run.drivenDigital}};
        if (s.hasPose)
            state["robot"] = {{"x", s.x}, {"y", s.y}, {"heading", s.headingDeg}, {"bumped", s.bumped != 0}};
        if (ended)
            state["ended"] = {{"status", exitStatus}, {"summary", summary}};
        return state;
    }

    std::string state()
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto now = std::chrono::steady_clock::now();
        if (snapshot.empty() || now - snapshotAt > SnapshotAge) {
            // Output need not be UTF-8; the page gets a stand-in character.
            snapshot = buildState().dump(-1, ' ', false, json::error_handler_t::replace);
            snapshotAt = now;
        }
        return snapshot;
    }

    void forget()
    {
        std::lock_guard<std::mutex> guard(lock);
        snapshot.clear();
    }

    // Puts a command into the ring the program takes them from.
    std::optional<Refusal> send(const PanelCommand &command)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (ended)
                return Refusal{409, "the program has ended"};
        }
        std::lock_guard<std::mutex> guard(commandLock);
        PanelChannel &channel = status.panel;
        const std::uint32_t written = channel.written.load(std::memory_order_relaxed);
        if (written - channel.taken.load(std::memory_order_acquire) >= PanelChannel::Capacity)
            return Refusal{503, "the program is not taking commands"};
        channel.ring[written % PanelChannel::Capacity] = command;
        channel.written.store(written + 1, std::memory_order_release);
        forget();
        return std::nullopt;
    }

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

void PanelServer::describeWorld(const std::string &path, Run &run)
{
    World world;
    std::string error;
    if (path.empty() || !loadWorld(path, world, error))
        return; // the program's side refuses a bad world with its own message
    auto point = [](const Point &p) { return json::array({p.x, p.y}); };
    auto rect = [](const Rect &r) { return json::array({r.x0, r.y0, r.x1, r.y1}); };
    json field{{"width", world.width}, {"height", world.height}, {"floor", world.floorReflectance}};
    json marks = json::array();
    for (const Mark &mark : world.marks) {
        if (mark.kind == Mark::Kind::Area) {
            marks.push_back({{"area", rect(mark.area)}, {"reflectance", mark.reflectance}});
            continue;
        }
        json line = json::array();
        for (const Point &p : mark.points)
            line.push_back(point(p));
        marks.push_back({{"line", line}, {"closed", mark.closed}, {"width", mark.width},
                         {"reflectance", mark.reflectance}});
    }
    field["marks"] = marks;
    json walls = json::array(), boxes = json::array(), objects = json::array();
    for (const Segment &wall : world.walls)
        walls.push_back({wall.a.x, wall.a.y, wall.b.x, wall.b.y});
    for (const Rect &box : world.boxes)
        boxes.push_back(rect(box));
    for (const ColouredObject &object : world.objects) {
        char colour[8];
        std::snprintf(colour, sizeof colour, "#%02x%02x%02x", object.rgb[0] & 0xFF, object.rgb[1] & 0xFF,
                      object.rgb[2] & 0xFF);
        objects.push_back({{"box", rect(object.box)}, {"colour", colour}});
    }
    field["walls"] = walls;
    field["boxes"] = boxes;
    field["objects"] = objects;
    field["robot"] = {{"radius", world.robot.radius}};
    run.hasWorld = true;
    run.worldJson = field.dump();
    for (const auto &sensor : world.robot.reflectanceSensors)
        run.drivenAnalog.push_back(sensor.port);
    for (const auto &sensor : world.robot.distanceSensors)
        run.drivenAnalog.push_back(sensor.port);
    if (world.robot.bumpPort)
        run.drivenDigital.push_back(*world.robot.bumpPort);
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
