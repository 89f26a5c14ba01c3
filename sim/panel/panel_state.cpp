// The run as JSON for the page: the state of every port, the console, the
// end, and the field of the world file.
#include "panel/panel_state.h"

#include "model/script.h"
#include "world/world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace kxsim {

std::vector<std::uint8_t> PanelState::screen() const
{
    std::vector<std::uint8_t> pixels(ScreenBytes);
    const ssize_t got = ::pread(screenFd, pixels.data(), pixels.size(), 0);
    if (got != ssize_t(pixels.size()))
        std::fill(pixels.begin(), pixels.end(), 0);
    return pixels;
}

std::string PanelState::screenRgba() const
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

std::uint64_t PanelState::hash(const std::vector<std::uint8_t> &bytes)
{
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t b : bytes)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

namespace {

// A label as the program set it, cut at 23 bytes: what is not whole UTF-8
// (a character cut in two, a byte of another encoding) shows as '?'.
std::string labelText(const char (&text)[24])
{
    std::string shown;
    const std::size_t length = ::strnlen(text, sizeof text);
    for (std::size_t n = 0; n < length;) {
        const unsigned char lead = static_cast<unsigned char>(text[n]);
        const std::size_t size = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        bool whole = size > 0 && n + size <= length && (size > 1 || lead >= 0x20);
        for (std::size_t k = 1; whole && k < size; ++k)
            whole = (static_cast<unsigned char>(text[n + k]) >> 6) == 2;
        if (whole) {
            shown.append(text + n, size);
            n += size;
        } else {
            shown += '?';
            ++n;
        }
    }
    return shown;
}

} // namespace

json PanelState::controllerJson(const ControllerStatus &s) const
{
    json state;
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
    json buttons = json::array();
    for (int n = 0; n < 7; ++n) {
        json button = {{"name", buttonName(n)}, {"pressed", ((s.buttonsDown >> n) & 1) != 0}};
        if (n < 6)
            button["text"] = labelText(s.buttonText[n]);
        buttons.push_back(button);
    }
    state["buttons"] = buttons;
    if (s.hasPose)
        state["robot"] = {{"x", s.x}, {"y", s.y}, {"heading", s.headingDeg}, {"bumped", s.bumped != 0}};
    if (s.pieceCount > 0) {
        json pieces = json::array();
        for (std::size_t n = 0; n < s.pieceCount && n < ControllerStatus::MaxShownPieces; ++n)
            pieces.push_back({s.pieces[n][0], s.pieces[n][1], s.pieces[n][2]});
        state["pieces"] = pieces;
    }
    return state;
}

json PanelState::buildState()
{
    // The program publishes while we read: a copy of one whole publish.
    const ControllerStatus s = status.snapshot();
    const double real = monotonicSeconds() - startReal;
    const double simulated = double(status.simulatedUs.load()) / 1e6;
    rateSamples.emplace_back(real, s.exchanges);
    while (rateSamples.size() > 2 && real - rateSamples[1].first > 1.0)
        rateSamples.pop_front();
    const auto &oldest = rateSamples.front();
    const double rate = real > oldest.first ? double(s.exchanges - oldest.second) / (real - oldest.first) : 0;
    screenHash = hash(screen());

    json state;
    state["program"] = run.program;
    state["running"] = !ended && !left;
    state["time"] = simulated;
    state["real"] = real;
    state["exchanges"] = s.exchanges;
    state["exchange_rate"] = rate;
    const std::int64_t speedMillis = status.panel.speedMillis.load();
    if (status.panel.listening.load())
        state["speed"] = speedMillis == 0 ? json("max") : json(double(speedMillis) / 1000);
    else
        state["speed"] = run.speed == "max" ? json("max") : json(std::strtod(run.speed.c_str(), nullptr));
    state["paused"] = status.panel.paused.load() != 0;
    state["duration"] = run.duration;
    state.update(controllerJson(s));
    state["screen"] = {{"columns", PanelScreenColumns}, {"rows", PanelScreenRows},
                       {"version", std::to_string(screenHash)}};
    const std::size_t sent = std::min(console.size(), ConsoleSent);
    state["console"] = {{"start", consoleDropped + console.size() - sent},
                        {"text", console.substr(console.size() - sent)}};
    state["world"] = run.hasWorld;
    state["driven"] = {{"analog", run.drivenAnalog}, {"digital", run.drivenDigital}};
    state["history"] = {{"samples", samples.size()}, {"dropped", dropped}, {"events", events.size()},
                        {"bytes", historyBytes()},
                        {"end", samples.empty() ? 0.0 : double(samples.back().atUs) / 1e6}};
    if (camera.atUs >= 0)
        state["camera"] = cameraJson(camera);
    if (ended)
        state["ended"] = {{"status", exitStatus}, {"summary", summary}};
    if (match)
        state["robots"] = matchPoses();
    return state;
}

namespace {

json poseJson(const ControllerStatus &s)
{
    if (!s.hasPose)
        return nullptr;
    return {{"x", s.x}, {"y", s.y}, {"heading", s.headingDeg}, {"bumped", s.bumped != 0}};
}

} // namespace

json PanelState::matchPoses() const
{
    json poses = json::array();
    for (const PanelState *robot : *match)
        poses.push_back(poseJson(robot->status.snapshot()));
    return poses;
}

json PanelState::poseAt(std::int64_t atUs)
{
    std::lock_guard<std::mutex> guard(lock);
    auto after = std::upper_bound(samples.begin(), samples.end(), atUs,
                                  [](std::int64_t t, const Sample &s) { return t < s.atUs; });
    return after == samples.begin() ? json() : poseJson((after - 1)->status);
}

void PanelState::output(const char *data, std::size_t size)
{
    std::lock_guard<std::mutex> guard(lock);
    consoleTimes.emplace_back(consoleDropped + console.size(), status.simulatedUs.load());
    console.append(data, size);
    if (console.size() > ConsoleKeep) {
        const std::size_t drop = console.size() - ConsoleKeep / 2;
        console.erase(0, drop);
        consoleDropped += drop;
    }
    snapshot.clear();
}

std::string PanelState::state()
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

void PanelState::forget()
{
    std::lock_guard<std::mutex> guard(lock);
    snapshot.clear();
}

std::optional<Refusal> PanelState::send(const PanelCommand &command)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (ended || left)
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

std::optional<Refusal> PanelState::poseRefusal(double x, double y, double heading) const
{
    if (!(std::fabs(heading) <= 360))
        return Refusal{400, "the heading must be -360 to 360 degrees"};
    if (!run.world)
        return std::nullopt;
    const World &world = *run.world;
    const double r = world.robot.radius;
    char place[64];
    std::snprintf(place, sizeof place, "(%.3g, %.3g)", x, y);
    if (!(x >= r && x <= world.width - r && y >= r && y <= world.height - r)) {
        char field[96];
        std::snprintf(field, sizeof field, "the field is %g m x %g m and the robot's radius %g m", world.width,
                      world.height, r);
        return Refusal{422, std::string("the robot at ") + place + " would be off the field: " + field};
    }
    if (world.clearance({x, y}) < r)
        return Refusal{422, std::string("the robot at ") + place + " would be inside a wall, box or object"};
    // The match's other robots where they are now.
    for (std::size_t n = 0; match && n < match->size(); ++n) {
        const ControllerStatus other = (*match)[n]->status.snapshot();
        if ((*match)[n] != this && other.hasPose && std::hypot(x - other.x, y - other.y) < 2 * r)
            return Refusal{422, std::string("the robot at ") + place + " would be on robot " + std::to_string(n + 1)};
    }
    // The pieces where they are now.
    const ControllerStatus now = status.snapshot();
    for (std::size_t n = 0; n < now.pieceCount && n < world.pieces.size() && n < ControllerStatus::MaxShownPieces;
         ++n) {
        const Piece &piece = world.pieces[n];
        const double dx = x - now.pieces[n][0], dy = y - now.pieces[n][1];
        double gap;
        if (piece.shape == Piece::Shape::Disc) {
            gap = std::hypot(dx, dy) - piece.radius;
        } else {
            // The robot's centre in the box's frame, to the nearest point of it.
            const double a = -double(now.pieces[n][2]) * M_PI / 180;
            const double u = dx * std::cos(a) - dy * std::sin(a), v = dx * std::sin(a) + dy * std::cos(a);
            gap = std::hypot(std::max(0.0, std::fabs(u) - piece.length / 2), std::max(0.0, std::fabs(v) - piece.width / 2));
        }
        if (gap < r)
            return Refusal{422, std::string("the robot at ") + place + " would be on piece "
                                    + (piece.name.empty() ? std::to_string(n) : "\"" + piece.name + "\"")};
    }
    return std::nullopt;
}

namespace {

std::string hexColour(const std::array<int, 3> &rgb)
{
    char colour[8];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", rgb[0] & 0xFF, rgb[1] & 0xFF, rgb[2] & 0xFF);
    return colour;
}

} // namespace

void PanelServer::describeWorld(const std::string &path, Run &run)
{
    auto loaded = std::make_shared<World>();
    std::string error;
    if (path.empty() || !loadWorld(path, *loaded, error))
        return; // the program's side refuses a bad world with its own message
    const World &world = *loaded;
    run.world = loaded;
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
    for (const ColouredObject &object : world.objects)
        objects.push_back({{"box", rect(object.box)}, {"colour", hexColour(object.rgb)}});
    field["walls"] = walls;
    field["boxes"] = boxes;
    field["objects"] = objects;
    json colours = json::array();
    for (const auto &colour : world.robot.colours)
        colours.push_back(hexColour(colour));
    field["robot"] = {{"radius", world.robot.radius}, {"colours", colours}};
    json zones = json::array();
    for (const Zone &zone : world.zones) {
        json corners = json::array();
        for (const Point &p : zone.polygon)
            corners.push_back(point(p));
        zones.push_back({{"name", zone.name}, {"polygon", corners}, {"colour", zone.rgb ? hexColour(*zone.rgb) : ""}});
    }
    field["zones"] = zones;
    // The pieces' shapes; where they are comes with every state.
    json pieces = json::array();
    for (const Piece &piece : world.pieces) {
        json shape = {{"name", piece.name}, {"colour", hexColour(piece.rgb)}};
        if (piece.shape == Piece::Shape::Disc)
            shape.update({{"shape", "disc"}, {"radius", piece.radius}});
        else
            shape.update({{"shape", "box"}, {"length", piece.length}, {"width", piece.width}});
        pieces.push_back(shape);
    }
    field["pieces"] = pieces;
    // What drives each port, for its label on the page.
    const auto side = [](double degrees) -> std::string {
        const double a = std::remainder(degrees, 360.0);
        if (std::fabs(a) < 20)
            return "front";
        if (std::fabs(a - 90) < 20)
            return "left";
        if (std::fabs(a + 90) < 20)
            return "right";
        if (std::fabs(a) > 160)
            return "back";
        char text[32];
        std::snprintf(text, sizeof text, "at %.0f degrees", a);
        return text;
    };
    json analog = json::object(), digital = json::object(), servo = json::object();
    for (const auto &sensor : world.robot.reflectanceSensors)
        analog[std::to_string(sensor.port)] = "floor sensor";
    for (const auto &sensor : world.robot.distanceSensors)
        analog[std::to_string(sensor.port)] = "distance sensor " + side(sensor.angleDeg);
    if (world.robot.bumpPort)
        digital[std::to_string(*world.robot.bumpPort)] = "bump switch";
    for (const auto &touch : world.robot.touchSwitches)
        digital[std::to_string(touch.port)] = touch.claw ? "claw switch" : "touch switch " + side(touch.angleDeg);
    for (const Mechanism &mechanism : world.robot.mechanisms)
        servo[std::to_string(mechanism.servo)] = mechanism.kind == Mechanism::Kind::Claw  ? "claw"
                                                 : mechanism.kind == Mechanism::Kind::Arm ? "arm"
                                                                                          : "paddle";
    field["labels"] = {{"analog", analog}, {"digital", digital}, {"servo", servo}};
    run.hasWorld = true;
    run.worldJson = field.dump();
    for (const auto &sensor : world.robot.reflectanceSensors)
        run.drivenAnalog.push_back(sensor.port);
    for (const auto &sensor : world.robot.distanceSensors)
        run.drivenAnalog.push_back(sensor.port);
    if (world.robot.bumpPort)
        run.drivenDigital.push_back(*world.robot.bumpPort);
    for (const auto &touch : world.robot.touchSwitches)
        run.drivenDigital.push_back(touch.port);
}

} // namespace kxsim
