#include "launcher/inputs.h"

#include "model/script.h"
#include "world/world.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace kxsim {

namespace {

// A disk with no block left cannot take a row or a picture.
void checkSpace(int fd, const std::string &what)
{
    struct statvfs disk{};
    if (::fstatvfs(fd, &disk) == 0 && disk.f_blocks > 0 && disk.f_bfree == 0)
        fail(BadUsage, "cannot write " + what + ": " + std::strerror(ENOSPC));
}

// The trace is created (or emptied) here, so that a place it cannot go is
// refused before the program starts. A device takes it if it takes a write:
// /dev/null and a terminal do, /dev/full does not.
void checkTrace(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    struct stat info{};
    if (::fstat(fd, &info) != 0)
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    // A file takes one byte, taken back at once (a file of /proc may refuse
    // it); a device or a pipe is asked for no byte, which nobody would want
    // in a trace read from there.
    const bool file = S_ISREG(info.st_mode);
    if (::write(fd, "\n", file ? 1 : 0) < 0 || (file && ::ftruncate(fd, 0) != 0))
        fail(BadUsage, "cannot write trace " + path + ": " + std::strerror(errno));
    if (file)
        checkSpace(fd, "trace " + path);
    ::close(fd);
}

// The picture and the record are written under a temporary name in their
// folder and renamed over the path: each needs a regular file (or none)
// there and a folder that takes a new file.
void checkRenamed(const std::string &path, const std::string &what)
{
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        fail(BadUsage, "cannot write " + what + " " + path + ": "
                           + (S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file"));
    std::string probe = path + ".XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        fail(BadUsage, "cannot write " + what + " " + path + ": " + std::strerror(errno));
    ::unlink(probe.c_str());
    checkSpace(fd, what + " " + path);
    ::close(fd);
}

} // namespace

void checkInputs(const Options &options)
{
    std::string error;
    if (!options.script.empty()) {
        std::vector<kxsim::ScriptEvent> events;
        if (!kxsim::parseScriptFile(options.script, events, error))
            fail(BadUsage, error);
    }
    if (!options.trace.empty())
        checkTrace(options.trace);
    if (!options.plot.empty())
        checkRenamed(options.plot, "plot");
    if (!options.record.empty())
        checkRenamed(options.record, "record");
    if (!options.world.empty()) {
        kxsim::World world;
        if (!kxsim::loadWorld(options.world, world, error))
            fail(BadUsage, error);
        // Each robot of a match starts at its own pose, and with "robots"
        // is a description of its own.
        if (!world.robots.empty() && world.robots.size() < options.robots.size())
            fail(BadUsage, options.world + ": robots describes " + std::to_string(world.robots.size()) + " robot"
                               + (world.robots.size() == 1 ? "" : "s") + " for "
                               + std::to_string(options.robots.size()) + " robots");
        if (world.robot.starts.size() < options.robots.size())
            fail(BadUsage, options.world + ": robot.start gives " + std::to_string(world.robot.starts.size())
                               + " start pose" + (world.robot.starts.size() == 1 ? "" : "s") + " for "
                               + std::to_string(options.robots.size()) + " robots");
    }
}

} // namespace kxsim
