// The simulated controller inside a program: the model behind the fake SPI
// device, the script's timed inputs, the trace and the shared status. It
// moves on whenever the program exchanges a packet or sleeps, so everything
// follows the program's clock (virtual or scaled).
#ifndef KESTRIX_SIM_SIMULATION_H
#define KESTRIX_SIM_SIMULATION_H

#include "model/match_block.h"
#include "model/model.h"
#include "physics/physics.h"
#include "model/script.h"
#include "model/sim_status.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <vector>

namespace kxsim {

class Simulation : public Behaviour
{
public:
    struct Options
    {
        std::int64_t durationUs = 0;        // 0: run until the program ends
        std::vector<ScriptEvent> events;
        std::string tracePath;              // empty: no trace
        std::int64_t tracePeriodUs = 100000; // one trace row per 0.1 s
        SimStatus *status = nullptr;        // shared with the launcher, may be null
        std::optional<World> world;         // none: the motors turn in the void
        std::string plotPath;               // empty: no picture at the end
        std::optional<std::uint64_t> seed;  // the world's realism and the sensors' noise; none: the default
        // Memory (sharedBytes() of it, zeroed before the first process)
        // that every process of one run maps: the first to start sets it up
        // and the others join its coprocessor. Null: this process alone.
        void *shared = nullptr;
        // An eventfd that counts the outputs (trace, picture) that could not
        // be written, for the launcher's exit status; -1: none.
        int lostOutputFd = -1;
        // A match (kestrix-sim --robot): the block every robot's program
        // maps, and this program's robot in it. Its run is the robot's place
        // in the block rather than `shared`.
        MatchBlock *match = nullptr;
        std::size_t robot = 0;
        // The launcher's folder for the run's files, which it removes at the
        // end however the program ends: the camera's configurations go into
        // it. Empty: the camera makes a folder of its own.
        std::string runFolder;
    };
    static std::size_t sharedBytes();
    struct SharedRun;
    // The whole of a match's block for `robots` robots.
    static std::size_t matchBytes(std::size_t robots);

    // Receives button presses and releases from the script (id 0 a .. 6 side).
    // By default they go to the fake input device, as the keys the
    // controller reports: KEY_A .. KEY_Z for the labelled buttons, KEY_ESC
    // for the side button.
    using ButtonSink = std::function<void(int id, bool pressed)>;
    static void pressKey(int id, bool pressed);
    // The key code the fake input device reports for button `id`.
    static int keyCode(int id);
    // The label the program set on button `id` (0 a .. 5 z), for the panel.
    void setButtonText(int id, const char *text);

    static Simulation &instance();

    // Starts the simulation at the clock's current time and hangs the model
    // on the fake SPI device. Returns false with `error` set when the trace
    // cannot be written.
    bool start(const Options &options, std::string &error);
    void setButtonSink(ButtonSink sink);
    // Applies an input from outside the script (the panel) at the clock's
    // time, as if the script had it now.
    void applyNow(const ScriptEvent &event);

    // Brings everything up to the clock's time. Returns true once the
    // duration is over.
    bool sync();
    // Ends the run at the duration: last trace rows, status, standard streams
    // flushed, then the process exits with 0.
    [[noreturn]] void finishAtDuration();
    // The program is exiting by itself: catch up and close the trace.
    void finishAtExit();

    std::int64_t endUs() const; // absolute clock time of the end, 0 for none
    std::int64_t startUs() const { return m_startUs; } // absolute clock time of the run's start

    // Behaviour.
    void acquire(RegisterFile &registers) override;
    void release(const RegisterFile &registers) override;
    void advance(RegisterFile &registers) override;
    void written(RegisterFile &registers, const std::bitset<RegisterCount> &written) override;

    // Brings the robot up to the clock's time and runs `use` on it under the
    // simulation's lock (the simulated mobile base reads and steers it so).
    void withPhysics(const std::function<void(Physics &)> &use);

    // For tests: the model and the number of exchanges seen.
    Model &model() { return m_model; }
    std::uint64_t exchanges() const { return m_exchanges; }

private:
    Simulation() = default;
    bool catchUp(RegisterFile &registers, std::int64_t nowUs); // true once the end is reached
    void apply(const ScriptEvent &event, RegisterFile &registers);
    void traceRow(const RegisterFile &registers, std::int64_t atUs);
    void publishStatus(const RegisterFile &registers, std::int64_t atUs);
    ControllerStatus statusNow(const RegisterFile &registers) const;
    // The panel's history (model/sim_record.h): on with a panel.
    bool recording() const;
    void recordHistory(const RegisterFile &registers, std::int64_t atUs);
    void recordPicture(const unsigned char *yuyv, int width, int height, std::size_t bytesPerLine);
    void advanceTo(RegisterFile &registers, std::int64_t atUs);
    void closeTrace(const RegisterFile &registers);
    bool tracing() const;
    void outputLost();
    bool startCamera(const World &world, std::string &error);
    void removeCameraFolder();
    // This is the process that started the run, not one forked from it.
    bool inStartingProcess() const;

    // A match (simulation_match.cpp).
    bool inMatch() const { return m_match != nullptr; }
    void setUpMatch();           // the other robots, before this robot's run is set up
    bool joinMatch(std::string &error); // waits for every robot's program, sets the common clock
    void loadPeers();            // under the run's lock, the others' runs as they are now
    void savePeers();
    void stepMatch(RegisterFile &registers, std::int64_t atUs);
    void traceMatchRow(std::FILE *trace, const RegisterFile &registers, double seconds) const;
    void leaveMatch();
    pthread_mutex_t *runLock() const;
    std::uint64_t &runGeneration() const;
    void startGrants();          // the thread that takes the match clock's grants

    MatchBlock *m_match = nullptr;
    std::size_t m_robot = 0;
    struct Peer
    {
        Model model;
        RegisterFile registers;
        std::unique_ptr<Physics> physics;
    };
    std::vector<Peer> m_peers; // every robot of the match; this one's slot has no physics

    SharedRun *m_shared = nullptr;
    bool m_joined = false; // another process started the run
    bool m_finished = false; // the program began to exit (under the finish lock)
    std::uint64_t m_generation = 0; // of the shared state our copy holds
    Model m_model;
    std::unique_ptr<Physics> m_physics;
    Options m_options;
    ButtonSink m_buttons = pressKey;
    mutable std::mutex m_labelLock;
    char m_buttonText[6][24] = {};
    std::atomic<bool> m_labelled{false};
    std::int64_t m_startUs = 0;
    std::size_t m_nextEvent = 0;
    std::int64_t m_nextTraceUs = 0;
    int m_traceFd = -1;
    bool m_traceLost = false; // a row could not be written (in any process of the run)
    std::uint64_t m_exchanges = 0;
    bool m_started = false;
    int m_process = 0;
    std::string m_cameraFolder; // the camera's configuration files for this run
};

} // namespace kxsim

#endif
