// kestrix-sim --panel: the launcher's HTTP server for the live page. It
// reads the run from the status block the program shares, shows the
// program's screen from the memory the fake framebuffer writes, keeps the
// program's standard output for the console, and passes the page's controls
// to the program through the status block's command ring.
//
// The server lives in the launcher, not in the program: it can refuse a
// taken port before the program starts, it outlives the program to show how
// it ended, and its threads never mix with the program's own.
//
// Interface (every POST answers 204, or 4xx with a one-line reason; a POST
// from a page must come from the panel's own, its body at most 4 KiB):
//   GET  /state                         the run as one JSON object
//   GET  /events                        the same, as server-sent events (25 a second)
//   GET  /screen                        the screen, 320 x 240 RGBA bytes
//   POST /button/{a|b|c|x|y|z|side}/{press|release}
//   POST /analog/{0-5}   {"value": 0-4095 | null}     null: nothing connected
//   POST /digital/{0-15} {"value": 0 | 1 | null}
//   POST /pause, /resume, /step (0.1 s simulated, while paused)
//   POST /speed          {"factor": 0.001-1000 | "max"}
//   POST /pose           {"x": m, "y": m, "heading": -360-360 degrees}   with a world,
//                        the robot on the field and clear of every obstacle
//   GET  /world, /history/..., /at/..., /camera..., /screen/at/...   the field and the run's history
// A recorded run (replay()) answers the same GETs and refuses every POST.
//
// A match's panel serves every robot's controller (addRobot()): each route
// takes ?robot=N (0, the first robot, by default) and answers for that
// robot's controller alone, but for the field: the state (and /at/SECONDS)
// lists every robot's pose under "robots".
#ifndef KESTRIX_SIM_PANEL_SERVER_H
#define KESTRIX_SIM_PANEL_SERVER_H

#include "model/sim_status.h"

#include <memory>
#include <string>
#include <vector>

namespace kxsim {

struct World;

class PanelServer
{
public:
    struct Run
    {
        std::string program;     // as the user named it
        std::string speed;       // the --speed the run started with
        double duration = 0;     // --duration, 0 for none
        bool hasWorld = false;   // a world is loaded: the robot can be moved
        std::string worldJson;   // the field as JSON, empty for none
        std::shared_ptr<const World> world; // the same, to check the poses posted
        std::vector<int> drivenAnalog, drivenDigital; // inputs the world's sensors drive
    };

    PanelServer(SimStatus &status, int screenFd, const Run &run);

    // The field of a world file for the page, and the inputs its sensors
    // drive, into `run`.
    static void describeWorld(const std::string &path, Run &run);
    ~PanelServer();

    // Binds to address:port (port 0: any free one); false with `error` set
    // when it cannot, for instance because the port is taken.
    bool bind(const std::string &address, int port, std::string &error);
    int port() const;
    // Serves on a thread of the launcher's own until stop(), if bound; and
    // keeps the run's history from the program's side, bound or not.
    void start();

    // The run's history, console and end into a file that replay() reads;
    // false with `error` set when it cannot be written.
    bool save(const std::string &path, std::string &error);
    // A server for a run that save() recorded: it shows the run as it was,
    // ended, from `status` and the screen memory `screenFd`, which it sets to
    // the run's end. Null with `error` set for a file it cannot read.
    static std::unique_ptr<PanelServer> replay(const std::string &path, SimStatus &status, int screenFd,
                                               std::string &error);

    // Another robot of a match, with its own controller's status block,
    // screen and run, served at ?robot=N in the order added (the first is
    // the constructor's). Before start().
    void addRobot(SimStatus &status, int screenFd, const Run &run);

    // Output of the program (of robot `robot` in a match), for the console.
    void output(const char *data, std::size_t size);
    void output(std::size_t robot, const char *data, std::size_t size);
    // Robot `robot`'s program of a match has ended: its controller takes no
    // more commands, while the others go on.
    void left(std::size_t robot);
    // The program (a match: every robot's) has ended; the page shows `summary`.
    void finish(int exitStatus, const std::string &summary);
    // Gives every open event stream the last state, as far as its
    // connection takes it at once (0.1 s at most), then closes the server.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace kxsim

#endif
