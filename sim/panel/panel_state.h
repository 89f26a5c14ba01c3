// What the panel knows of the run, apart from serving it: the status block
// and screen memory it reads, the program's console, the end, and the JSON
// of the run that every page request and event gets. Private to panel/.
#ifndef KESTRIX_SIM_PANEL_STATE_H
#define KESTRIX_SIM_PANEL_STATE_H

#include "panel/panel_server.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <time.h>

namespace kxsim {

using json = nlohmann::json;

constexpr std::size_t ScreenBytes = std::size_t(PanelScreenColumns) * PanelScreenRows * 4;
constexpr std::size_t ConsoleKeep = 1 << 20; // bytes of output the launcher keeps
constexpr std::size_t ConsoleSent = 16384;   // bytes of it in each snapshot
constexpr auto FramePeriod = std::chrono::milliseconds(40);
constexpr auto SnapshotAge = std::chrono::milliseconds(15); // clients share younger snapshots

inline double monotonicSeconds()
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

// A response with a one-line reason (status 204: none).
struct Answer
{
    int status = 204;
    std::string body;
    const char *type = "text/plain";
    bool noStore = false;
};

inline Answer refusal(const Refusal &r)
{
    return Answer{r.status, r.reason + "\n", "text/plain", false};
}

inline Answer reply(const std::optional<Refusal> &r)
{
    return r ? refusal(*r) : Answer{};
}

// The run as the panel's server sees it; `lock` guards what may change.
struct PanelState
{
    using Run = PanelServer::Run;

    SimStatus &status;
    int screenFd;
    PanelServer::Run run;
    double startReal = monotonicSeconds();
    // In a match, every robot's state in the robots' order (this one among
    // them), for the field; null in a run of one robot.
    const std::vector<PanelState *> *match = nullptr;

    std::mutex lock; // everything below
    std::string console;
    std::size_t consoleDropped = 0; // bytes dropped from the front of `console`
    bool ended = false;
    bool left = false; // a match's program that ended before the others
    int exitStatus = 0;
    std::string summary;
    std::string snapshot; // the latest state as JSON
    std::chrono::steady_clock::time_point snapshotAt{};
    std::uint64_t screenHash = 0;
    std::deque<std::pair<double, std::uint64_t>> rateSamples; // real seconds, exchanges
    std::mutex commandLock; // one writer of the command ring at a time

    // The run's history (panel_record.cpp), under `lock` too.
    using Sample = HistoryRingOf<ControllerStatus>::Sample;
    struct Picture // a screen or camera picture kept, as it came
    {
        std::int64_t atUs = -1; // simulated; -1 for none yet
        int width = 0, height = 0;
        std::uint32_t taken = 0;
        std::vector<std::uint8_t> bytes; // screen: 0x00RRGGBB words; camera: YUYV
        std::string config;              // camera: the channel file the program loaded
    };
    std::vector<Sample> samples;
    std::vector<Picture> screens, pictures;  // keyframes, oldest first
    Picture camera;                          // the camera's latest picture
    std::int64_t screenEveryUs = 250000, pictureEveryUs = 250000; // between keyframes, at least
    std::size_t pictureBytes = 0, screenBytes = 0;
    std::vector<std::pair<std::size_t, std::int64_t>> consoleTimes; // console offset, simulated time
    json events = json::array();
    std::uint32_t cameraSequence = 0;
    std::uint64_t dropped = 0;

    // Takes what the program's side recorded since the last call; one
    // caller at a time (the ring has one reader), under `recordLock`.
    void record();
    std::mutex recordLock;
    void noteEvents(const ControllerStatus *before, const Sample &sample);
    // GET /history/NAMES/FROM, /at/SECONDS, /camera, /camera/at/SECONDS, /screen/at/SECONDS.
    std::optional<Answer> historyGet(const std::string &path);
    // The controller's part of a state.
    json controllerJson(const ControllerStatus &s) const;
    json cameraJson(const Picture &picture) const;
    // Every robot's pose of a match now (null for one without a pose yet),
    // and this robot's pose at simulated time `atUs` (null before its first
    // sample); each takes the lock of the robot it reads.
    json matchPoses() const;
    json poseAt(std::int64_t atUs);
    // GET `path` of robot `robot` of a match: as get(), and /at/SECONDS
    // gives every robot's pose at that moment too.
    static Answer getOfMatch(const std::vector<PanelState *> &robots, std::size_t robot, const std::string &path);
    // Output of the program, for the console.
    void output(const char *data, std::size_t size);
    // Bytes the history holds.
    std::size_t historyBytes() const;
    // The history, the console and the end into a file, whole or not at all
    // (panel_file.cpp); false with `error` set when it cannot be written.
    bool save(const std::string &path, std::string &error);
    // A file save() wrote: its bytes into `file`, the run it describes into
    // `run`, the rest into `doc` for restore(); false with `error` set for a
    // file that is not one.
    static bool readRecord(const std::string &path, std::vector<std::uint8_t> &file, json &doc, Run &run,
                           std::string &error);
    // The history of the record, the status block and the screen memory as
    // they were at the run's end, and the run ended.
    bool restore(const std::vector<std::uint8_t> &file, const json &doc, std::string &error);

    PanelState(SimStatus &s, int fd, const PanelServer::Run &r) : status(s), screenFd(fd), run(r) {}

    // The screen memory's bytes, as the fake framebuffer wrote them.
    std::vector<std::uint8_t> screen() const;
    // The screen as RGBA bytes, as a canvas takes them.
    std::string screenRgba() const;
    static std::uint64_t hash(const std::vector<std::uint8_t> &bytes);

    // Called with `lock` held.
    json buildState();
    // The latest state as JSON; requests within SnapshotAge share one.
    std::string state();
    void forget();
    // The answers to the page's requests (panel_routes.cpp).
    Answer get(const std::string &path);
    Answer post(const std::string &path, const std::string &body);

    // Why the robot cannot be put at (x, y) heading `heading` (degrees), if
    // it cannot: off the field, inside an obstacle, or an absurd heading.
    std::optional<Refusal> poseRefusal(double x, double y, double heading) const;

    // Puts a command into the ring the program takes them from.
    std::optional<Refusal> send(const PanelCommand &command);
};

} // namespace kxsim

#endif
