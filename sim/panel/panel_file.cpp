// A run's history in a file (--record), and a run read back from one
// (--replay): what the panel keeps of a run, so that a finished run can be
// looked over again without running its program.
//
// The file is a first line that names it, one line of JSON (the run's
// description, the console's times, the events, the end, and the place of
// every block of bytes), then those blocks: the samples, the console and
// each picture. The samples are the controller's state as this build lays
// it out in memory, so a file is read only by a simulator whose layout is
// the same; another one is refused with a line that says so, never misread.
#include "panel/panel_state.h"

#include <nlohmann/json.hpp>

#include <algorithm>
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

constexpr const char *Magic = "kestrix-sim run\n";
constexpr int Version = 1;

// The blocks of bytes after the JSON line, each named by its number there.
struct Blocks
{
    std::vector<std::pair<const std::uint8_t *, std::size_t>> list;

    std::size_t add(const void *data, std::size_t size)
    {
        list.emplace_back(static_cast<const std::uint8_t *>(data), size);
        return list.size() - 1;
    }
    json sizes() const
    {
        json all = json::array();
        for (const auto &block : list)
            all.push_back(block.second);
        return all;
    }
    const std::pair<const std::uint8_t *, std::size_t> &at(const json &index) const
    {
        const std::size_t n = index.get<std::size_t>();
        if (n >= list.size())
            throw std::runtime_error("a block that is not there");
        return list[n];
    }
};

json pictureJson(const PanelState::Picture &p, Blocks &blocks)
{
    return {{"at", p.atUs}, {"width", p.width}, {"height", p.height}, {"taken", p.taken},
            {"config", p.config}, {"bytes", blocks.add(p.bytes.data(), p.bytes.size())}};
}

// A picture of `bytesPerPixel` (screen 4, camera 2), or none yet.
PanelState::Picture pictureOf(const json &j, const Blocks &blocks, std::size_t bytesPerPixel)
{
    PanelState::Picture p;
    p.atUs = j.at("at").get<std::int64_t>();
    p.width = j.at("width").get<int>();
    p.height = j.at("height").get<int>();
    p.taken = j.at("taken").get<std::uint32_t>();
    p.config = j.at("config").get<std::string>();
    const auto &block = blocks.at(j.at("bytes"));
    p.bytes.assign(block.first, block.first + block.second);
    if (p.width < 0 || p.height < 0 || p.width > 4096 || p.height > 4096
        || (p.atUs >= 0 && p.bytes.size() != std::size_t(p.width) * std::size_t(p.height) * bytesPerPixel))
        throw std::runtime_error("a picture of the wrong size");
    return p;
}

std::vector<PanelState::Picture> picturesOf(const json &list, const Blocks &blocks, std::size_t bytesPerPixel)
{
    std::vector<PanelState::Picture> pictures;
    for (const json &p : list)
        pictures.push_back(pictureOf(p, blocks, bytesPerPixel));
    return pictures;
}

// Writes all of `size` bytes; false with errno set when it cannot.
bool writeAll(int fd, const std::uint8_t *data, std::size_t size)
{
    for (std::size_t at = 0; at < size;) {
        const ssize_t wrote = ::write(fd, data + at, size - at);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = ENOSPC;
            return false;
        }
        at += std::size_t(wrote);
    }
    return true;
}

} // namespace

bool PanelState::save(const std::string &path, std::string &error)
{
    std::lock_guard<std::mutex> guard(lock);
    Blocks blocks;
    json doc{{"version", Version}, {"sample_bytes", sizeof(Sample)}};
    doc["run"] = {{"program", run.program}, {"speed", run.speed}, {"duration", run.duration},
                  {"world", run.worldJson}, {"driven_analog", run.drivenAnalog},
                  {"driven_digital", run.drivenDigital}};
    doc["samples"] = blocks.add(samples.data(), samples.size() * sizeof(Sample));
    doc["dropped"] = dropped;
    json screenList = json::array(), pictureList = json::array();
    for (const Picture &p : screens)
        screenList.push_back(pictureJson(p, blocks));
    for (const Picture &p : pictures)
        pictureList.push_back(pictureJson(p, blocks));
    doc["screens"] = screenList;
    doc["pictures"] = pictureList;
    doc["camera"] = pictureJson(camera, blocks);
    doc["console"] = blocks.add(console.data(), console.size());
    doc["console_dropped"] = consoleDropped;
    doc["console_times"] = consoleTimes;
    doc["events"] = events;
    doc["end"] = {{"time_us", status.simulatedUs.load()}, {"status", exitStatus}, {"summary", summary}};
    doc["blocks"] = blocks.sizes();
    const std::string header = Magic + doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";

    // Written under a temporary name and renamed: a file that is there is whole.
    std::string part = path + ".XXXXXX";
    const int fd = ::mkstemp(part.data());
    bool whole = fd >= 0 && writeAll(fd, reinterpret_cast<const std::uint8_t *>(header.data()), header.size());
    for (std::size_t n = 0; whole && n < blocks.list.size(); ++n)
        whole = writeAll(fd, blocks.list[n].first, blocks.list[n].second);
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
        error = "cannot write record " + path + ": " + std::strerror(why);
        if (fd >= 0)
            ::unlink(part.c_str());
    }
    return whole;
}

bool PanelState::readRecord(const std::string &path, std::vector<std::uint8_t> &file, json &doc, Run &run,
                            std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read record " + path + ": " + std::strerror(errno);
        return false;
    }
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const std::string magic = Magic;
    const auto newline = std::find(file.begin() + std::min(file.size(), magic.size()), file.end(), '\n');
    if (file.size() < magic.size() || std::memcmp(file.data(), magic.data(), magic.size()) != 0
        || newline == file.end()
        || (doc = json::parse(file.begin() + magic.size(), newline, nullptr, false)).is_discarded()
        || !doc.is_object()) {
        error = path + ": not a run recorded by kestrix-sim --record";
        return false;
    }
    try {
        if (doc.at("version") != Version || doc.at("sample_bytes") != sizeof(Sample)) {
            error = path + ": recorded by another version of kestrix-sim, which this one cannot read";
            return false;
        }
        const json &r = doc.at("run");
        run.program = r.at("program").get<std::string>();
        run.speed = r.at("speed").get<std::string>();
        run.duration = r.at("duration").get<double>();
        run.worldJson = r.at("world").get<std::string>();
        run.hasWorld = !run.worldJson.empty();
        run.drivenAnalog = r.at("driven_analog").get<std::vector<int>>();
        run.drivenDigital = r.at("driven_digital").get<std::vector<int>>();
        // Every block there, and nothing after them.
        std::size_t at = std::size_t(newline - file.begin()) + 1;
        for (const json &size : doc.at("blocks")) {
            // Compared with what is left, so that no size can wrap the sum.
            if (!size.is_number_unsigned() || size.get<std::size_t>() > file.size() - at)
                throw std::runtime_error("it is cut short");
            at += size.get<std::size_t>();
        }
        if (at != file.size())
            throw std::runtime_error("bytes after its end");
        doc["header_bytes"] = std::size_t(newline - file.begin()) + 1;
    } catch (const std::exception &e) {
        error = path + ": a damaged record (" + e.what() + ")";
        return false;
    }
    return true;
}

bool PanelState::restore(const std::vector<std::uint8_t> &file, const json &doc, std::string &error)
{
    try {
        Blocks blocks;
        std::size_t at = doc.at("header_bytes").get<std::size_t>();
        for (const json &size : doc.at("blocks")) {
            blocks.add(file.data() + at, size.get<std::size_t>());
            at += size.get<std::size_t>();
        }
        const auto &sampleBytes = blocks.at(doc.at("samples"));
        if (sampleBytes.second % sizeof(Sample) != 0)
            throw std::runtime_error("the samples are cut short");
        std::vector<Sample> read(sampleBytes.second / sizeof(Sample));
        std::memcpy(static_cast<void *>(read.data()), sampleBytes.first, sampleBytes.second);
        std::vector<Picture> screenList = picturesOf(doc.at("screens"), blocks, 4);
        std::vector<Picture> pictureList = picturesOf(doc.at("pictures"), blocks, 2);
        Picture latest = pictureOf(doc.at("camera"), blocks, 2);
        const auto &text = blocks.at(doc.at("console"));
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
        console.assign(reinterpret_cast<const char *>(text.first), text.second);
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
