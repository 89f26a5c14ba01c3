// A run's history in a file (--record), and a run read back from one
// (--replay): what the panel keeps of a run, so that a finished run can be
// looked over again without running its program.
//
// The file is CBOR: the run's description, the console, the events and the
// end as they are, and the samples and pictures as binary strings. The
// samples are the controller's state as this build lays it out in memory,
// so a file is read only by a simulator whose layout is the same; another
// one is refused with a line that says so, never misread.
#include "panel/panel_state.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace kxsim {

namespace {

constexpr const char *Format = "kestrix-sim run";
constexpr int Version = 1;

json::binary_t bytesOf(const void *data, std::size_t size)
{
    const auto *first = static_cast<const std::uint8_t *>(data);
    return json::binary_t(std::vector<std::uint8_t>(first, first + size));
}

json pictureJson(const PanelState::Picture &p)
{
    return {{"at", p.atUs}, {"width", p.width}, {"height", p.height}, {"taken", p.taken},
            {"config", p.config}, {"bytes", bytesOf(p.bytes.data(), p.bytes.size())}};
}

// A picture of `bytesPerPixel` (screen 4, camera 2), or none yet.
PanelState::Picture pictureOf(const json &j, std::size_t bytesPerPixel)
{
    PanelState::Picture p;
    p.atUs = j.at("at").get<std::int64_t>();
    p.width = j.at("width").get<int>();
    p.height = j.at("height").get<int>();
    p.taken = j.at("taken").get<std::uint32_t>();
    p.config = j.at("config").get<std::string>();
    p.bytes = j.at("bytes").get_binary();
    if (p.width < 0 || p.height < 0 || p.width > 4096 || p.height > 4096
        || (p.atUs >= 0 && p.bytes.size() != std::size_t(p.width) * std::size_t(p.height) * bytesPerPixel))
        throw std::runtime_error("a picture of the wrong size");
    return p;
}

std::vector<PanelState::Picture> picturesOf(const json &list, std::size_t bytesPerPixel)
{
    std::vector<PanelState::Picture> pictures;
    for (const json &p : list)
        pictures.push_back(pictureOf(p, bytesPerPixel));
    return pictures;
}

} // namespace

bool PanelState::save(const std::string &path, std::string &error)
{
    std::vector<std::uint8_t> bytes;
    {
        std::lock_guard<std::mutex> guard(lock);
        json doc{{"format", Format}, {"version", Version}, {"sample_bytes", sizeof(Sample)}};
        doc["run"] = {{"program", run.program}, {"speed", run.speed}, {"duration", run.duration},
                      {"world", run.worldJson}, {"driven_analog", run.drivenAnalog},
                      {"driven_digital", run.drivenDigital}};
        doc["samples"] = bytesOf(samples.data(), samples.size() * sizeof(Sample));
        doc["dropped"] = dropped;
        json screenList = json::array(), pictureList = json::array();
        for (const Picture &p : screens)
            screenList.push_back(pictureJson(p));
        for (const Picture &p : pictures)
            pictureList.push_back(pictureJson(p));
        doc["screens"] = screenList;
        doc["pictures"] = pictureList;
        doc["camera"] = pictureJson(camera);
        doc["console"] = bytesOf(console.data(), console.size());
        doc["console_dropped"] = consoleDropped;
        doc["console_times"] = consoleTimes;
        doc["events"] = events;
        doc["end"] = {{"time_us", status.simulatedUs.load()}, {"status", exitStatus}, {"summary", summary}};
        bytes = json::to_cbor(doc);
    }
    // Written under a temporary name and renamed: a file that is there is whole.
    std::string part = path + ".XXXXXX";
    const int fd = ::mkstemp(part.data());
    bool whole = fd >= 0;
    for (std::size_t at = 0; whole && at < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (wrote < 0 && errno == EINTR)
            continue;
        whole = wrote > 0;
        at += whole ? std::size_t(wrote) : 0;
    }
    int why = errno;
    if (fd >= 0) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        if (::close(fd) != 0 && whole) {
            whole = false;
            why = errno;
        }
    }
    if (whole && std::rename(part.c_str(), path.c_str()) != 0) {
        whole = false;
        why = errno;
    }
    if (!whole) {
        error = "cannot write record " + path + ": " + std::strerror(why == 0 ? ENOSPC : why);
        if (fd >= 0)
            ::unlink(part.c_str());
    }
    return whole;
}

bool PanelState::readRecord(const std::string &path, json &doc, Run &run, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read record " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    doc = json::from_cbor(bytes, true, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("format", "") != Format) {
        error = path + ": not a run recorded by kestrix-sim --record";
        return false;
    }
    if (doc.value("version", 0) != Version || doc.value("sample_bytes", std::size_t(0)) != sizeof(Sample)) {
        error = path + ": recorded by another version of kestrix-sim, which this one cannot read";
        return false;
    }
    try {
        const json &r = doc.at("run");
        run.program = r.at("program").get<std::string>();
        run.speed = r.at("speed").get<std::string>();
        run.duration = r.at("duration").get<double>();
        run.worldJson = r.at("world").get<std::string>();
        run.hasWorld = !run.worldJson.empty();
        run.drivenAnalog = r.at("driven_analog").get<std::vector<int>>();
        run.drivenDigital = r.at("driven_digital").get<std::vector<int>>();
        if (doc.at("samples").get_binary().size() % sizeof(Sample) != 0)
            throw std::runtime_error("the samples are cut short");
    } catch (const std::exception &e) {
        error = path + ": a damaged record (" + e.what() + ")";
        return false;
    }
    return true;
}

bool PanelState::restore(const json &doc, std::string &error)
{
    try {
        const json::binary_t &sampleBytes = doc.at("samples").get_binary();
        std::vector<Sample> read(sampleBytes.size() / sizeof(Sample));
        std::memcpy(static_cast<void *>(read.data()), sampleBytes.data(), read.size() * sizeof(Sample));
        std::vector<Picture> screenList = picturesOf(doc.at("screens"), 4);
        std::vector<Picture> pictureList = picturesOf(doc.at("pictures"), 2);
        Picture latest = pictureOf(doc.at("camera"), 2);
        const json::binary_t &text = doc.at("console").get_binary();
        const json &end = doc.at("end");

        std::lock_guard<std::mutex> guard(lock);
        samples = std::move(read);
        dropped = doc.at("dropped").get<std::uint64_t>();
        screens = std::move(screenList);
        pictures = std::move(pictureList);
        camera = std::move(latest);
        for (const Picture &p : screens)
            screenBytes += p.bytes.size();
        for (const Picture &p : pictures)
            pictureBytes += p.bytes.size();
        console.assign(text.begin(), text.end());
        consoleDropped = doc.at("console_dropped").get<std::size_t>();
        consoleTimes = doc.at("console_times").get<std::vector<std::pair<std::size_t, std::int64_t>>>();
        events = doc.at("events");
        // The run's state at its end: the last sample, the last screen.
        if (!samples.empty())
            status.publish(samples.back().status);
        status.simulatedUs.store(end.at("time_us").get<std::int64_t>());
        if (!screens.empty() && screens.back().bytes.size() == ScreenBytes
            && ::pwrite(screenFd, screens.back().bytes.data(), ScreenBytes, 0) != ssize_t(ScreenBytes))
            throw std::runtime_error(std::string("the screen: ") + std::strerror(errno));
        ended = true;
        exitStatus = end.at("status").get<int>();
        summary = end.at("summary").get<std::string>();
        snapshot.clear();
    } catch (const std::exception &e) {
        error = std::string("a damaged record (") + e.what() + ")";
        return false;
    }
    return true;
}

} // namespace kxsim
