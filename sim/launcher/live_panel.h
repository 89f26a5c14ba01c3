// The launcher's side of the panel: opening it before the program starts,
// the program's output to it, its stay after the end, the run's record, and
// a recorded run shown again (--replay).
#ifndef KESTRIX_SIM_LIVE_PANEL_H
#define KESTRIX_SIM_LIVE_PANEL_H

#include "launcher/options.h"
#include "model/sim_status.h"
#include "panel/panel_server.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kxsim {

// Real seconds on the monotonic clock: the run's real time, the panel's stay.
double monotonicSeconds();

// The panel shows the program's screen from a memory file the program's fake
// framebuffer writes into, and its output from a pipe the launcher copies
// to its own standard output. With --record alone it keeps the run's
// history without serving it. A match has a Panel for each robot, each with
// its screen and output; the first holds the server of them all.
struct Panel
{
    std::unique_ptr<PanelServer> server;
    int screenFd = -1;
    int output[2] = {-1, -1};
    std::thread pump;
};

// Opens the panel of --panel or --record, or nothing without either; a port
// that cannot be served ends the launcher with one line and BadUsage.
void openPanel(Panel &panel, const Options &options, SimStatus &status);
// The same for a match (--panel with --robot): a panel for every robot's
// program (`each`, its controller's status in `statuses`), served by one
// server in the first; nothing without --panel.
void openMatchPanel(std::vector<Panel> &panels, const Options &options, const std::vector<Options> &each,
                    const std::vector<SimStatus *> &statuses);

// Copies the program's output to ours and to the panel's console (robot
// `robot`'s of `server`) until the pipe closes, or shortly after `ended`
// when a process the program started still holds it.
void pumpOutput(Panel &panel, PanelServer &server, std::size_t robot, const std::atomic<bool> &ended);

// The program has ended with `result`: the page shows it, the record goes
// to its file, and a served panel stays for --panel-linger (or until Ctrl-C
// on a terminal, or until `interrupted`). The run's exit status: `result`,
// or OutputLost when the record could not be written.
int closePanel(Panel &panel, const Options &options, int result, const std::string &summary,
               const volatile sig_atomic_t &interrupted);

// kestrix-sim --replay FILE: the recorded run on the panel until Ctrl-C (or
// for --panel-linger); 0, or BadUsage for a file it cannot read.
int replayRun(const Options &options, const volatile sig_atomic_t &interrupted);

} // namespace kxsim

#endif
