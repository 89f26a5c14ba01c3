// The run's history as the launcher keeps it for the panel: every sample the
// program's side recorded (the controller's state every 20 ms of simulated
// time), keyframes of the screen and of the camera's picture, the console's
// times and the events; and the answers that read it back: a signal over
// time, the run as it was at a moment, the camera's picture with the blobs
// the program's channels find in it.
//
// What it costs: a sample is some 270 bytes, 8 MB for ten simulated minutes.
// Keyframes are kept at most every KeyframeUs of simulated time; when the
// pictures pass their budget every second one is dropped and the spacing
// doubles, so a long run keeps keyframes over all of it.
#include "panel/panel_state.h"

#include "private/camera_config_p.h"
#include "private/camera_frame_p.h"
#include "private/camera_tracking_p.h"
#include "model/script.h"
#include "world/world.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kxsim {

namespace {

constexpr std::size_t ScreenBudget = 48u << 20;  // bytes of screen keyframes
constexpr std::size_t PictureBudget = 96u << 20; // bytes of camera keyframes
constexpr int CopyTries = 50;                     // of a picture the program rewrites meanwhile

using Signal = std::function<double(const ControllerStatus &)>;

// Every signal a plot can show, by name.
const std::vector<std::pair<std::string, Signal>> &signals()
{
    static const std::vector<std::pair<std::string, Signal>> all = [] {
        std::vector<std::pair<std::string, Signal>> list;
        for (int m = 0; m < 4; ++m) {
            const std::string motor = "motor" + std::to_string(m) + ".";
            list.emplace_back(motor + "position", [m](const ControllerStatus &s) { return s.motorPosition[m]; });
            list.emplace_back(motor + "speed", [m](const ControllerStatus &s) { return s.motorSpeed[m]; });
            list.emplace_back(motor + "power", [m](const ControllerStatus &s) { return double(s.motorDuty[m]); });
            list.emplace_back(motor + "velocity", [m](const ControllerStatus &s) { return double(s.motorVelocity[m]); });
        }
        for (int n = 0; n < 4; ++n) {
            const std::string servo = "servo" + std::to_string(n) + ".";
            list.emplace_back(servo + "command", [n](const ControllerStatus &s) {
                return ((s.servoEnables >> (4 + n)) & 1) ? std::floor(servoPosition(s.servoCommand[n])) : NAN;
            });
            list.emplace_back(servo + "shaft", [n](const ControllerStatus &s) { return servoPosition(s.servoShaft[n]); });
        }
        for (int n = 0; n < 6; ++n)
            list.emplace_back("analog" + std::to_string(n), [n](const ControllerStatus &s) { return double(s.analog[n]); });
        for (int n = 0; n < 16; ++n)
            list.emplace_back("digital" + std::to_string(n),
                              [n](const ControllerStatus &s) { return double((s.digitalIn >> n) & 1); });
        for (int axis = 0; axis < 3; ++axis) {
            const std::string name(1, "xyz"[axis]);
            list.emplace_back("accel." + name, [axis](const ControllerStatus &s) { return double(s.accel[axis]); });
            list.emplace_back("gyro." + name, [axis](const ControllerStatus &s) { return double(s.gyro[axis]); });
            list.emplace_back("compass." + name, [axis](const ControllerStatus &s) { return double(s.compass[axis]); });
        }
        // The mechanisms, where the world gives the robot one.
        const auto mechanism = [&](const char *name, unsigned bit, double (*value)(const ControllerStatus &)) {
            list.emplace_back(name, [bit, value](const ControllerStatus &s) { return s.mechanisms & bit ? value(s) : NAN; });
        };
        mechanism("claw.gap", 1, [](const ControllerStatus &s) { return double(s.clawGap); });
        mechanism("claw.piece", 1, [](const ControllerStatus &s) { return double(s.heldPiece); });
        mechanism("arm.height", 2, [](const ControllerStatus &s) { return double(s.armHeight); });
        mechanism("paddle.angle", 4, [](const ControllerStatus &s) { return double(s.paddleDeg); });
        list.emplace_back("battery", [](const ControllerStatus &s) { return s.batteryVolts; });
        list.emplace_back("x", [](const ControllerStatus &s) { return s.hasPose ? s.x : NAN; });
        list.emplace_back("y", [](const ControllerStatus &s) { return s.hasPose ? s.y : NAN; });
        list.emplace_back("heading", [](const ControllerStatus &s) { return s.hasPose ? s.headingDeg : NAN; });
        list.emplace_back("bumped", [](const ControllerStatus &s) { return double(s.bumped); });
        return list;
    }();
    return all;
}

// Four significant places after the point are plenty on a plot and keep
// the JSON short; nothing stands for a value that is not there.
json rounded(double value)
{
    if (!std::isfinite(value))
        return nullptr;
    const double r = std::round(value * 1e4) / 1e4;
    if (r == std::floor(r) && std::fabs(r) < 1e15)
        return std::int64_t(r);
    return r;
}

// Copies the program's latest camera picture out of the shot, whole: false
// when it changed under every try.
bool copyShot(const CameraShot &shot, PanelState::Picture &into)
{
    for (int i = 0; i < CopyTries; ++i) {
        const std::uint32_t before = shot.sequence.load(std::memory_order_acquire);
        if (before & 1)
            continue;
        const int width = shot.width, height = shot.height;
        if (width <= 0 || height <= 0 || width > CameraShot::MaxWidth || height > CameraShot::MaxHeight)
            return false;
        into.width = width;
        into.height = height;
        into.taken = shot.taken;
        into.atUs = shot.atUs;
        const std::size_t configBytes = std::min<std::size_t>(shot.configBytes, CameraShot::MaxConfig);
        into.config.assign(shot.config, configBytes);
        into.bytes.assign(shot.yuyv, shot.yuyv + std::size_t(width) * std::size_t(height) * 2);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (shot.sequence.load(std::memory_order_relaxed) == before)
            return true;
    }
    return false;
}

// Keeps `picture` as a keyframe unless the last is younger than `everyUs`;
// past `budget` every second keyframe goes and the spacing doubles.
void keep(std::vector<PanelState::Picture> &kept, PanelState::Picture picture, std::int64_t &everyUs,
          std::size_t &bytes, std::size_t budget)
{
    if (!kept.empty() && picture.atUs - kept.back().atUs < everyUs)
        return;
    bytes += picture.bytes.size();
    kept.push_back(std::move(picture));
    if (bytes <= budget)
        return;
    std::vector<PanelState::Picture> thinned;
    bytes = 0;
    for (std::size_t n = 0; n < kept.size(); n += 2) {
        bytes += kept[n].bytes.size();
        thinned.push_back(std::move(kept[n]));
    }
    kept.swap(thinned);
    everyUs *= 2;
}

// The last keyframe at or before `atUs`, or null.
const PanelState::Picture *keyframeAt(const std::vector<PanelState::Picture> &kept, std::int64_t atUs)
{
    auto after = std::upper_bound(kept.begin(), kept.end(), atUs,
                                  [](std::int64_t t, const PanelState::Picture &p) { return t < p.atUs; });
    return after == kept.begin() ? nullptr : &*(after - 1);
}

std::string screenRgbaOf(const std::vector<std::uint8_t> &pixels)
{
    std::string rgba(pixels.size(), '\0');
    for (std::size_t i = 0; i + 4 <= pixels.size(); i += 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, &pixels[i], 4);
        rgba[i] = char((value >> 16) & 0xFF);
        rgba[i + 1] = char((value >> 8) & 0xFF);
        rgba[i + 2] = char(value & 0xFF);
        rgba[i + 3] = char(0xFF);
    }
    return rgba;
}

Camera::Frame frameOf(const PanelState::Picture &picture)
{
    Camera::Frame frame;
    Camera::convertYuyv(picture.bytes.data(), picture.width, picture.height, std::size_t(picture.width) * 2, frame);
    return frame;
}

std::string cameraRgbaOf(const PanelState::Picture &picture)
{
    const Camera::Frame frame = frameOf(picture);
    std::string rgba(frame.rgb.size() / 3 * 4, '\0');
    for (std::size_t p = 0, q = 0; p + 3 <= frame.rgb.size(); p += 3, q += 4) {
        rgba[q] = char(frame.rgb[p]);
        rgba[q + 1] = char(frame.rgb[p + 1]);
        rgba[q + 2] = char(frame.rgb[p + 2]);
        rgba[q + 3] = char(0xFF);
    }
    return rgba;
}

std::optional<double> seconds(const std::string &text)
{
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace

// What happened between two samples: the robot bumped into something, a
// button went down, a piece came into a zone (not one that starts there).
void PanelState::noteEvents(const ControllerStatus *before, const Sample &sample)
{
    const ControllerStatus &now = sample.status;
    const double at = double(sample.atUs) / 1e6;
    auto note = [&](const std::string &what) { events.push_back({{"time", at}, {"event", what}}); };
    if (now.bumped && (!before || !before->bumped))
        note("bump");
    for (int b = 0; b < 7; ++b)
        if ((now.buttonsDown >> b) & 1 && !(before && (before->buttonsDown >> b) & 1))
            note(std::string("press ") + buttonName(b));
    if (!run.world || !before)
        return;
    const World &world = *run.world;
    const std::size_t pieces = std::min({std::size_t(now.pieceCount), std::size_t(before->pieceCount),
                                         world.pieces.size(), ControllerStatus::MaxShownPieces});
    for (std::size_t n = 0; n < pieces; ++n)
        for (const Zone &zone : world.zones)
            if (zone.contains({now.pieces[n][0], now.pieces[n][1]})
                && !zone.contains({before->pieces[n][0], before->pieces[n][1]}))
                note((world.pieces[n].name.empty() ? "piece " + std::to_string(n) : world.pieces[n].name) + " into "
                     + zone.name);
}

void PanelState::record()
{
    std::lock_guard<std::mutex> reading(recordLock);
    PanelRecordOf<ControllerStatus> &shared = status.record;
    std::vector<Sample> fresh;
    shared.history.drain([&](const Sample &sample) { fresh.push_back(sample); });
    Picture shot;
    const std::uint32_t sequence = shared.camera.sequence.load(std::memory_order_acquire);
    const bool newShot = sequence != cameraSequence && copyShot(shared.camera, shot);
    Picture screenNow;
    const std::int64_t nowUs = status.simulatedUs.load();
    std::lock_guard<std::mutex> guard(lock);
    dropped = shared.history.dropped.load(std::memory_order_relaxed);
    for (const Sample &sample : fresh) {
        noteEvents(samples.empty() ? nullptr : &samples.back().status, sample);
        samples.push_back(sample);
    }
    if (newShot) {
        cameraSequence = sequence;
        keep(pictures, shot, pictureEveryUs, pictureBytes, PictureBudget);
        camera = std::move(shot);
        snapshot.clear();
    }
    if (screens.empty() || nowUs - screens.back().atUs >= screenEveryUs) {
        std::vector<std::uint8_t> pixels = screen();
        const std::uint64_t h = hash(pixels);
        if (screens.empty() || h != hash(screens.back().bytes)) {
            screenNow.atUs = nowUs;
            screenNow.width = int(PanelScreenColumns);
            screenNow.height = int(PanelScreenRows);
            screenNow.bytes = std::move(pixels);
            keep(screens, std::move(screenNow), screenEveryUs, screenBytes, ScreenBudget);
        }
    }
}

std::size_t PanelState::historyBytes() const
{
    return samples.capacity() * sizeof(Sample) + screenBytes + pictureBytes + consoleTimes.capacity() * 16 +
           console.capacity();
}

json PanelState::cameraJson(const Picture &picture) const
{
    json view{{"width", picture.width}, {"height", picture.height}, {"time", double(picture.atUs) / 1e6},
              {"taken", picture.taken}};
    std::vector<Camera::Channel> channels;
    std::string error;
    json list = json::array();
    if (!picture.config.empty() && Camera::parseChannels(picture.config, channels, error)) {
        Camera::Tracker tracker;
        tracker.setChannels(channels);
        std::vector<std::vector<Camera::Object>> objects;
        tracker.track(frameOf(picture), objects);
        for (std::size_t c = 0; c < channels.size(); ++c) {
            json blobs = json::array();
            for (const Camera::Object &o : objects[c])
                blobs.push_back({{"x", o.centerX}, {"y", o.centerY}, {"area", o.area}, {"left", o.left},
                                 {"top", o.top}, {"right", o.right}, {"bottom", o.bottom}});
            list.push_back({{"name", channels[c].name}, {"objects", blobs}});
        }
    }
    view["channels"] = list;
    return view;
}

std::optional<Answer> PanelState::historyGet(const std::string &path)
{
    std::lock_guard<std::mutex> guard(lock);
    // /history/NAME,NAME/FROM: those signals from sample FROM on.
    if (path.rfind("/history/", 0) == 0) {
        const std::size_t slash = path.find('/', 9);
        const std::string names = path.substr(9, slash == std::string::npos ? std::string::npos : slash - 9);
        const std::string fromText = slash == std::string::npos ? "0" : path.substr(slash + 1);
        if (fromText.empty() || fromText.size() > 9 || fromText.find_first_not_of("0123456789") != std::string::npos)
            return refusal(Refusal{404, "no such place: GET " + path + " (/history/NAME,NAME/FROM)"});
        const std::size_t from = std::min<std::size_t>(std::stoul(fromText), samples.size());
        json answer{{"from", from}, {"to", samples.size()}};
        json times = json::array();
        for (std::size_t n = from; n < samples.size(); ++n)
            times.push_back(double(samples[n].atUs) / 1e6);
        answer["time"] = std::move(times);
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = names.find(',', start);
            const std::string name = names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            const auto found = std::find_if(signals().begin(), signals().end(),
                                            [&](const auto &signal) { return signal.first == name; });
            if (found == signals().end())
                return refusal(Refusal{404, "no signal '" + name + "'"});
            json column = json::array();
            for (std::size_t n = from; n < samples.size(); ++n)
                column.push_back(rounded(found->second(samples[n].status)));
            answer[name] = std::move(column);
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        return Answer{200, answer.dump(), "application/json", true};
    }
    if (path == "/signals") {
        json names = json::array();
        for (const auto &signal : signals())
            names.push_back(signal.first);
        return Answer{200, names.dump(), "application/json"};
    }
    if (path == "/camera") {
        if (camera.atUs < 0)
            return refusal(Refusal{404, "the program has taken no picture"});
        return Answer{200, cameraRgbaOf(camera), "application/octet-stream", true};
    }
    for (const char *prefix : {"/at/", "/camera/at/", "/screen/at/"}) {
        if (path.rfind(prefix, 0) != 0)
            continue;
        const std::optional<double> at = seconds(path.substr(std::strlen(prefix)));
        if (!at)
            return refusal(Refusal{404, std::string("no such place: GET ") + path + " (" + prefix + "SECONDS)"});
        const std::int64_t atUs = std::int64_t(std::llround(*at * 1e6));
        if (std::strcmp(prefix, "/screen/at/") == 0) {
            const Picture *kept = keyframeAt(screens, atUs);
            return Answer{200, screenRgbaOf(kept ? kept->bytes : std::vector<std::uint8_t>(ScreenBytes)),
                          "application/octet-stream", true};
        }
        const Picture *picture = keyframeAt(pictures, atUs);
        if (std::strcmp(prefix, "/camera/at/") == 0) {
            if (!picture)
                return refusal(Refusal{404, "the program had taken no picture by then"});
            return Answer{200, cameraRgbaOf(*picture), "application/octet-stream", true};
        }
        // The run as it was: the last sample at or before the moment, the
        // console up to it, the keyframes' times.
        auto after = std::upper_bound(samples.begin(), samples.end(), atUs,
                                      [](std::int64_t t, const Sample &s) { return t < s.atUs; });
        if (after == samples.begin())
            return refusal(Refusal{404, "nothing was recorded by then"});
        const Sample &sample = *(after - 1);
        json state = controllerJson(sample.status);
        state["time"] = double(sample.atUs) / 1e6;
        state["sample"] = std::size_t(after - samples.begin()) - 1;
        auto printed = std::upper_bound(consoleTimes.begin(), consoleTimes.end(), sample.atUs,
                                        [](std::int64_t t, const auto &c) { return t < c.second; });
        const std::size_t end = printed == consoleTimes.end() ? consoleDropped + console.size() : printed->first;
        const std::size_t shown = end > consoleDropped ? end - consoleDropped : 0;
        const std::size_t sent = std::min(shown, ConsoleSent);
        state["console"] = {{"start", consoleDropped + shown - sent}, {"text", console.substr(shown - sent, sent)}};
        if (const Picture *kept = keyframeAt(screens, sample.atUs))
            state["screen"] = {{"time", double(kept->atUs) / 1e6}};
        if (picture)
            state["camera"] = cameraJson(*picture);
        json before = json::array();
        for (const json &event : events)
            if (event["time"].get<double>() <= *at)
                before.push_back(event);
        state["events"] = before;
        return Answer{200, state.dump(-1, ' ', false, json::error_handler_t::replace), "application/json", true};
    }
    if (path == "/events/list")
        return Answer{200, events.dump(), "application/json", true};
    return std::nullopt;
}

Answer PanelState::getOfMatch(const std::vector<PanelState *> &robots, std::size_t robot, const std::string &path)
{
    Answer answer = robots[robot]->get(path);
    if (robots.size() == 1 || answer.status != 200 || path.rfind("/at/", 0) != 0)
        return answer;
    json state = json::parse(answer.body, nullptr, false);
    if (!state.is_object())
        return answer;
    const std::int64_t atUs = std::llround(std::strtod(path.c_str() + 4, nullptr) * 1e6);
    json poses = json::array();
    for (PanelState *each : robots)
        poses.push_back(each->poseAt(atUs));
    state["robots"] = std::move(poses);
    answer.body = state.dump(-1, ' ', false, json::error_handler_t::replace);
    return answer;
}

} // namespace kxsim
