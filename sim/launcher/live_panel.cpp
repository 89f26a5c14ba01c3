#include "launcher/live_panel.h"

#include <cerrno>
#include <fcntl.h>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace kxsim {

double monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

namespace {

bool loopback(const std::string &address)
{
    return address.rfind("127.", 0) == 0 || address == "localhost" || address == "::1";
}

int screenMemory()
{
    const int fd = ::memfd_create("kestrix-sim-screen", 0);
    if (fd < 0 || ::ftruncate(fd, off_t(PanelScreenColumns) * PanelScreenRows * 4) != 0)
        fail(BadUsage, std::string("cannot make the panel's screen: ") + std::strerror(errno));
    return fd;
}

// Binds and starts the server, and says where it is.
void serve(PanelServer &server, const Options &options, int port)
{
    std::string error;
    if (!server.bind(options.panelAddress, port, error))
        fail(BadUsage, error);
    if (!loopback(options.panelAddress))
        std::fprintf(stderr, "kestrix-sim: warning: the panel on %s lets other machines drive the robot\n",
                     options.panelAddress.c_str());
    server.start();
    const std::string host = options.panelAddress.find(':') != std::string::npos
                                 ? "[" + options.panelAddress + "]" : options.panelAddress;
    std::fprintf(stderr, "kestrix-sim: panel at http://%s:%d\n", host.c_str(), server.port());
    std::fflush(stderr);
}

// After the end the panel stays for `linger` seconds (negative: until
// Ctrl-C on a terminal, else not at all; infinite: until Ctrl-C).
void linger(double seconds, const PanelServer &server, const volatile sig_atomic_t &interrupted)
{
    if (seconds <= 0)
        return;
    if (std::isinf(seconds))
        std::fprintf(stderr, "kestrix-sim: the panel stays at port %d until Ctrl-C\n", server.port());
    std::fflush(stderr);
    const double until = monotonicSeconds() + seconds;
    while (!interrupted && monotonicSeconds() < until) {
        const timespec pause{0, 20000000};
        ::nanosleep(&pause, nullptr);
    }
}

// A screen and an output pipe for one program, and what its page says of
// the run.
PanelServer::Run preparePanel(Panel &panel, const Options &options)
{
    panel.screenFd = screenMemory();
    if (::pipe2(panel.output, O_CLOEXEC) != 0)
        fail(BadUsage, std::string("cannot capture the program's output: ") + std::strerror(errno));
    PanelServer::Run run;
    run.program = options.command[0];
    run.speed = options.speed;
    run.duration = options.duration;
    PanelServer::describeWorld(options.world, run);
    return run;
}

} // namespace

void openPanel(Panel &panel, const Options &options, SimStatus &status)
{
    if (options.panelPort < 0 && options.record.empty())
        return;
    const PanelServer::Run run = preparePanel(panel, options);
    panel.server = std::make_unique<PanelServer>(status, panel.screenFd, run);
    if (options.panelPort >= 0)
        serve(*panel.server, options, options.panelPort);
    else
        panel.server->start(); // the record alone
}

void openMatchPanel(std::vector<Panel> &panels, const Options &options, const std::vector<Options> &each,
                    const std::vector<SimStatus *> &statuses)
{
    if (options.panelPort < 0)
        return;
    for (std::size_t r = 0; r < panels.size(); ++r) {
        const PanelServer::Run run = preparePanel(panels[r], each[r]);
        if (r == 0)
            panels[0].server = std::make_unique<PanelServer>(*statuses[0], panels[0].screenFd, run);
        else
            panels[0].server->addRobot(*statuses[r], panels[r].screenFd, run);
    }
    serve(*panels[0].server, options, options.panelPort);
}

void pumpOutput(Panel &panel, PanelServer &server, std::size_t robot, const std::atomic<bool> &ended)
{
    char buffer[4096];
    double endedAt = 0;
    for (;;) {
        pollfd ready{panel.output[0], POLLIN, 0};
        const int n = ::poll(&ready, 1, 20);
        if (n > 0) {
            const ssize_t got = ::read(panel.output[0], buffer, sizeof buffer);
            if (got > 0) {
                std::fwrite(buffer, 1, std::size_t(got), stdout);
                std::fflush(stdout);
                server.output(robot, buffer, std::size_t(got));
                continue;
            }
            if (got == 0 || errno != EINTR)
                return;
        }
        if (ended) {
            if (endedAt == 0)
                endedAt = monotonicSeconds();
            else if (monotonicSeconds() - endedAt > 0.3)
                return;
        }
    }
}

int closePanel(Panel &panel, const Options &options, int result, const std::string &summary,
               const volatile sig_atomic_t &interrupted)
{
    if (!panel.server)
        return result;
    panel.server->finish(result, summary);
    if (!options.record.empty()) {
        std::string error;
        if (!panel.server->save(options.record, error)) {
            std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
            result = OutputLost;
        }
    }
    if (options.panelPort >= 0) {
        double seconds = options.panelLinger;
        if (seconds < 0)
            seconds = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO) ? HUGE_VAL : 0;
        linger(seconds, *panel.server, interrupted);
    }
    panel.server->stop();
    return result;
}

int replayRun(const Options &options, const volatile sig_atomic_t &interrupted)
{
    // A status block of our own, where a program's side would publish.
    void *block = ::mmap(nullptr, sizeof(SimStatus), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        fail(BadUsage, std::string("cannot map the status block: ") + std::strerror(errno));
    SimStatus &status = *static_cast<SimStatus *>(block);
    const int screenFd = screenMemory();
    std::string error;
    std::unique_ptr<PanelServer> server = PanelServer::replay(options.replay, status, screenFd, error);
    if (!server)
        fail(BadUsage, error);
    serve(*server, options, options.panelPort >= 0 ? options.panelPort : DefaultPanelPort);
    // A replay is there to be looked at: it stays until Ctrl-C unless told.
    linger(options.panelLinger < 0 ? HUGE_VAL : options.panelLinger, *server, interrupted);
    server->stop();
    return 0;
}

} // namespace kxsim
