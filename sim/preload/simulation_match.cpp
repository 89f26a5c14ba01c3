// The simulation's side of a match (kestrix-sim --robot): every robot's
// program keeps a copy of the whole match (every robot's model and body on
// one table) and whichever holds the match's lock moves all of it on, so
// there is one world; the clock's peers are the other programs, through
// the match's block (model/match_block.h).
#include "preload/simulation.h"

#include "clock/fake_clock.h"
#include "model/process_id.h"
#include "preload/simulation_run.h"
#include "report/trace.h"

#include <thread>

#include <time.h>

namespace kxsim {

namespace {

// The clock's peers: the other robots' programs, through the block.
class MatchPeers : public Clock::Peers
{
public:
    MatchPeers(MatchBlock &match, std::size_t robot) : m_match(match), m_robot(robot) {}
    bool idle(std::int64_t deadlineNs) override { return matchIdle(m_match, m_robot, deadlineNs); }
    void busy() override { matchBusy(m_match, m_robot); }
    std::uint32_t grants() const override { return m_match.grant[m_robot].load(); }
    std::int64_t grantedNs() const override { return m_match.grantedNs[m_robot]; }
    void awaitGrant(std::uint32_t seen, int timeoutMs) override { matchParkForGrant(m_match, m_robot, seen, timeoutMs); }
    void nudge() override { matchNudge(m_match, m_robot); }

private:
    MatchBlock &m_match;
    std::size_t m_robot;
};

void realSleepMs(int ms)
{
    // Past the clock's interposer: the start waits in real time.
    static const auto s_sleep = nextFunction<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep");
    const timespec pause{0, ms * 1000000L};
    s_sleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

// Real time a program waits for the others to start before it gives up.
constexpr int StartLimitMs = 60000;

} // namespace

pthread_mutex_t *Simulation::runLock() const
{
    return m_match ? &m_match->lock : &m_shared->lock;
}

std::uint64_t &Simulation::runGeneration() const
{
    return m_match ? m_match->generation : m_shared->generation;
}

void Simulation::setUpMatch()
{
    const World world = m_options.world.value_or(World{});
    std::vector<std::unique_ptr<Physics>> robots = Physics::match(world, m_match->robots, m_options.seed.value_or(1));
    m_peers.resize(robots.size());
    for (std::size_t r = 0; r < robots.size(); ++r) {
        if (m_options.seed)
            m_peers[r].model.seed(std::uint32_t((*m_options.seed + r) ^ (*m_options.seed >> 32)) ^ 0x9E3779B9u);
        if (r == m_robot)
            m_physics = std::move(robots[r]);
        else
            m_peers[r].physics = std::move(robots[r]);
    }
}

bool Simulation::joinMatch(std::string &error)
{
    // Every program starts when all have set up their runs, so that no
    // robot moves before the other exists; the last to come fixes the
    // scaled clock's origin for all.
    Clock &clock = Clock::instance();
    if (m_match->ready.fetch_add(1) + 1 == m_match->robots) {
        clock.setMode(clock.mode(), clock.speed());
        clock.scaledOrigin(m_match->scaledStartNs, m_match->scaledStartMonoNs);
        if (clock.mode() == Clock::Mode::Scaled)
            m_match->nextTraceUs = m_match->scaledStartNs / 1000;
        m_match->originSet.store(1);
    }
    for (int waited = 0; m_match->originSet.load() == 0; ++waited) {
        if (waited > StartLimitMs) {
            error = "the other robots' programs did not start";
            return false;
        }
        realSleepMs(1);
    }
    if (clock.mode() == Clock::Mode::Scaled) {
        clock.setScaledOrigin(m_match->scaledStartNs, m_match->scaledStartMonoNs);
        m_startUs = m_match->scaledStartNs / 1000;
    } else {
        m_startUs = m_match->startNs / 1000;
    }
    m_nextTraceUs = m_startUs;
    m_shared->startUs = m_startUs;
    m_shared->nextTraceUs = m_startUs;
    // The first exchange takes every robot's run in.
    m_generation = ~std::uint64_t(0);
    if (clock.mode() == Clock::Mode::Virtual)
        startGrants();
    return true;
}

void Simulation::startGrants()
{
    static MatchPeers s_peers(*m_match, m_robot);
    Clock::instance().setPeers(&s_peers);
    OwnThreads own;
    // A program whose only thread sleeps takes its grants itself; this
    // thread takes them for the other waits (several threads, a condition,
    // a descriptor).
    std::thread([match = m_match, robot = m_robot] {
        std::uint32_t seen = match->grant[robot].load();
        for (;;) {
            const std::uint32_t now = matchAwaitGrant(*match, robot, seen, 100);
            if (now == seen)
                continue;
            seen = now;
            Clock::instance().takeGrant();
        }
    }).detach();
}

void Simulation::loadPeers()
{
    SharedRun *runs = matchRuns(m_match);
    for (std::size_t r = 0; r < m_peers.size(); ++r) {
        if (r == m_robot)
            continue;
        m_peers[r].registers = runs[r].registers;
        m_peers[r].model.load(runs[r].model);
        m_peers[r].physics->load(runs[r].physics);
    }
    m_nextTraceUs = m_match->nextTraceUs;
    m_traceLost = m_match->traceLost != 0;
}

void Simulation::savePeers()
{
    SharedRun *runs = matchRuns(m_match);
    for (std::size_t r = 0; r < m_peers.size(); ++r) {
        if (r == m_robot)
            continue;
        runs[r].registers = m_peers[r].registers;
        runs[r].model = m_peers[r].model.save();
        m_peers[r].physics->save(runs[r].physics);
    }
    m_match->nextTraceUs = m_nextTraceUs;
    m_match->traceLost = m_traceLost ? 1 : 0;
}

void Simulation::stepMatch(RegisterFile &registers, std::int64_t atUs)
{
    std::vector<Physics::Member> robots;
    for (std::size_t r = 0; r < m_peers.size(); ++r) {
        if (r == m_robot)
            robots.push_back({m_physics.get(), &m_model, &registers, false});
        else
            robots.push_back({m_peers[r].physics.get(), &m_peers[r].model, &m_peers[r].registers,
                              m_match->ended[r].load() != 0});
    }
    // A table this process stepped last is carried on; a fork's child is
    // another process with another copy of the engine.
    const std::uint32_t self = std::uint32_t(processId());
    if (Physics::stepTogether(robots, atUs, m_match->tableStepper == self))
        m_match->tableStepper = self;
}

void Simulation::traceMatchRow(std::FILE *trace, const RegisterFile &registers, double seconds) const
{
    std::vector<TraceRobot> robots;
    for (std::size_t r = 0; r < m_peers.size(); ++r) {
        if (r == m_robot)
            robots.push_back({&registers, &m_model, m_physics.get()});
        else
            robots.push_back({&m_peers[r].registers, &m_peers[r].model, m_peers[r].physics.get()});
    }
    writeMatchTraceRow(trace, seconds, robots, m_options.world.has_value());
}

void Simulation::leaveMatch()
{
    if (m_match && inStartingProcess())
        matchLeave(*m_match, m_robot);
}

} // namespace kxsim
