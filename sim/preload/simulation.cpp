#include "preload/simulation.h"

#include "clock/fake_clock.h"
#include "fakes/fake_battery.h"
#include "fakes/fake_device.h"
#include "fakes/fake_spi.h"
#include "model/process_id.h"
#include "preload/base_line.h"
#include "preload/simulation_run.h"
#include "report/plot.h"
#include "report/trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include <fcntl.h>

#include <pthread.h>
#include <unistd.h>

namespace kxsim {

namespace {

std::mutex &finishLock()
{
    static std::mutex &s_lock = *new std::mutex;
    return s_lock;
}

// What `print` writes, as text in memory: a trace row is built whole before
// it goes to the file.
std::string printed(const std::function<void(std::FILE *)> &print)
{
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *memory = ::open_memstream(&buffer, &size);
    if (memory == nullptr)
        return std::string();
    print(memory);
    std::fclose(memory);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

// Appends `text` to `fd` in one write; a write the disk cuts short (a full
// disk, a file size limit) is taken back, so the file only ever holds whole
// rows. Returns 0 or the errno of the failure. The rows of every process of
// a run are written under the run's lock, so the end cannot move meanwhile.
int appendWhole(int fd, const std::string &text)
{
    const off_t before = ::lseek(fd, 0, SEEK_END);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            const int error = wrote < 0 ? errno : ENOSPC;
            if (done > 0 && before >= 0)
                (void)!::ftruncate(fd, before);
            return error;
        }
        done += std::size_t(wrote);
    }
    return 0;
}

} // namespace

static_assert(std::is_trivially_copyable_v<RegisterFile>, "kept in memory shared between processes");

std::size_t Simulation::sharedBytes()
{
    return sizeof(SharedRun);
}

std::size_t Simulation::matchBytes(std::size_t robots)
{
    return MatchRunsOffset + robots * sizeof(SharedRun);
}

bool Simulation::inStartingProcess() const
{
    return processId() == m_process;
}

Simulation &Simulation::instance()
{
    // Never destroyed: the simulator's own threads (the duration's watch,
    // the panel) may still look at the run while the program exits.
    static Simulation &s_instance = *new Simulation;
    return s_instance;
}

bool Simulation::start(const Options &options, std::string &error)
{
    m_options = options;
    m_match = options.match;
    m_robot = options.robot;
    m_shared = m_match ? matchRuns(m_match) + m_robot : static_cast<SharedRun *>(options.shared);
    m_joined = m_shared && m_shared->magic.load() == SharedRun::Magic;
    // The robots of a match write one trace, which the first one begins.
    const bool continuesTrace = m_joined || (m_match && m_robot != 0);
    if (!options.tracePath.empty()) {
        // Who joins a run adds its rows to the trace the first process
        // began; rows of every process go to the end of the file.
        m_traceFd = ::open(options.tracePath.c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (continuesTrace ? 0 : O_TRUNC), 0666);
        if (m_traceFd < 0) {
            error = "cannot write trace " + options.tracePath + ": " + std::strerror(errno);
            return false;
        }
    }
    if (m_traceFd >= 0 && !continuesTrace) {
        const World *world = options.world ? &*options.world : nullptr;
        const std::size_t robots = m_match ? m_match->robots : 1;
        if (const int failed = appendWhole(m_traceFd, printed([&](std::FILE *f) {
                if (robots > 1)
                    writeMatchTraceHeader(f, world, robots);
                else
                    writeTraceHeader(f, world);
            }))) {
            error = "cannot write trace " + options.tracePath + ": " + std::strerror(failed);
            return false;
        }
    }
    // The robot always exists so that the simulated mobile base can move it;
    // only a world puts it on a field with the coprocessor's motors as wheels.
    if (m_match)
        setUpMatch();
    else
        m_physics = std::make_unique<Physics>(options.world.value_or(World{}), options.world.has_value(),
                                              options.seed.value_or(1));
    if (options.seed)
        m_model.seed(std::uint32_t((*options.seed + m_robot) ^ (*options.seed >> 32)) ^ 0x9E3779B9u);
    static const int s_forkHandler = ::pthread_atfork(nullptr, nullptr, forgetProcessId);
    (void)s_forkHandler;
    forgetProcessId();
    m_process = processId();
    Clock &clock = Clock::instance();
    // Every robot of a match starts at the match's time.
    if (m_match && !m_joined && clock.mode() == Clock::Mode::Virtual)
        clock.setNowUs(m_match->startNs / 1000);
    if (m_joined) {
        // One clock for the whole run: a scaled clock from the common origin;
        // a virtual one from the time the run has reached (the parent's time
        // when it started us, unless it has moved on since).
        lockShared(runLock());
        m_startUs = m_shared->startUs;
        const std::int64_t reached = m_shared->model.started ? m_shared->model.lastUs : m_startUs;
        unlockShared(runLock());
        if (clock.mode() == Clock::Mode::Scaled)
            clock.setScaledOrigin(m_shared->scaledStartNs, m_shared->scaledStartMonoNs);
        else if (clock.mode() == Clock::Mode::Virtual)
            clock.setNowUs(reached);
    } else {
        m_startUs = clock.nowUs();
        m_nextTraceUs = m_startUs;
        m_nextEvent = 0;
    }
    if (m_shared && !m_joined && !m_match) {
        pthread_mutexattr_t attributes;
        ::pthread_mutexattr_init(&attributes);
        ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
        ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        ::pthread_mutex_init(&m_shared->lock, &attributes);
        ::pthread_mutexattr_destroy(&attributes);
    }
    if (m_shared && !m_joined) {
        m_shared->startUs = m_startUs;
        clock.scaledOrigin(m_shared->scaledStartNs, m_shared->scaledStartMonoNs);
        m_shared->registers = RegisterFile{};
        m_shared->model = m_model.save();
        m_physics->save(m_shared->physics);
        m_shared->nextEvent = 0;
        m_shared->nextTraceUs = m_nextTraceUs;
        m_shared->exchanges = 0;
        m_shared->traceLost = 0;
        m_shared->generation = m_generation = 1;
        m_shared->magic.store(SharedRun::Magic);
        if (m_match && !joinMatch(error))
            return false;
    }
    if (m_options.status) {
        m_options.status->magic = SimStatus::Magic;
        m_options.status->batteryVolts = FakeBattery::instance().volts();
    }
    FakeSpi &spi = FakeSpi::instance();
    spi.setRecording(false);
    clock.setRecording(false);
    spi.setBehaviour(this);
    const std::int64_t now = m_joined ? clock.nowUs() : m_startUs;
    spi.update([&](RegisterFile &registers) {
        m_started = true;
        catchUp(registers, now);
    });
    plugInBase();
    if (options.world && options.world->robotAt(m_robot).camera && !startCamera(*options.world, error))
        return false;
    return true;
}

void Simulation::setButtonSink(ButtonSink sink)
{
    FakeSpi::instance().update([&](RegisterFile &) { m_buttons = std::move(sink); });
}

void Simulation::applyNow(const ScriptEvent &event)
{
    const std::int64_t now = Clock::instance().nowUs();
    FakeSpi::instance().update([&](RegisterFile &registers) {
        catchUp(registers, now);
        apply(event, registers);
    });
}

std::int64_t Simulation::endUs() const
{
    return m_options.durationUs > 0 ? m_startUs + m_options.durationUs : 0;
}

bool Simulation::sync()
{
    bool over = false;
    const std::int64_t now = Clock::instance().nowUs();
    FakeSpi::instance().update([&](RegisterFile &registers) { over = catchUp(registers, now); });
    return over;
}

void Simulation::acquire(RegisterFile &registers)
{
    if (m_shared == nullptr)
        return;
    // A process killed while it held the lock (SIGKILL in an exchange) left
    // at worst the one exchange it was making half done.
    if (lockShared(runLock()) == EOWNERDEAD)
        ::pthread_mutex_consistent(runLock());
    // A process alone finds what it left: no copy then.
    if (runGeneration() == m_generation)
        return;
    registers = m_shared->registers;
    m_model.load(m_shared->model);
    m_physics->load(m_shared->physics);
    m_nextEvent = std::size_t(m_shared->nextEvent);
    m_nextTraceUs = m_shared->nextTraceUs;
    m_exchanges = m_shared->exchanges;
    m_traceLost = m_shared->traceLost != 0;
    if (m_match)
        loadPeers();
}

void Simulation::release(const RegisterFile &registers)
{
    if (m_shared == nullptr)
        return;
    m_shared->registers = registers;
    m_shared->model = m_model.save();
    m_physics->save(m_shared->physics);
    m_shared->nextEvent = m_nextEvent;
    m_shared->nextTraceUs = m_nextTraceUs;
    m_shared->exchanges = m_exchanges;
    m_shared->traceLost = m_traceLost ? 1 : 0;
    if (m_match)
        savePeers();
    m_generation = ++runGeneration();
    unlockShared(runLock());
}

void Simulation::advance(RegisterFile &registers)
{
    ++m_exchanges;
    catchUp(registers, Clock::instance().nowUs());
}

void Simulation::written(RegisterFile &registers, const std::bitset<RegisterCount> &written)
{
    m_model.written(registers, written);
}

bool Simulation::catchUp(RegisterFile &registers, std::int64_t nowUs)
{
    if (!m_started)
        return false;
    // A child the program forked without a shared run keeps its own copy of
    // the model but must not write into the launched process's trace and
    // status; with one, every process moves the run on in full.
    if (m_shared == nullptr && processId() != m_process) {
        advanceTo(registers, nowUs);
        return false;
    }
    const std::int64_t end = endUs();
    const bool over = end != 0 && nowUs >= end;
    const std::int64_t target = over ? end : nowUs;
    if (target < m_model.lastUs() && m_model.started()) {
        publishStatus(registers, m_model.lastUs());
        return over;
    }

    // Stop at every script event and trace tick on the way, so that each
    // happens at its own time whatever the program's rhythm of exchanges.
    for (;;) {
        const std::int64_t eventAt = m_nextEvent < m_options.events.size()
            ? m_startUs + m_options.events[m_nextEvent].atUs
            : INT64_MAX;
        const std::int64_t traceAt = tracing() ? m_nextTraceUs : INT64_MAX;
        const std::int64_t historyAt = recording() ? m_startUs + m_options.status->record.history.nextUs : INT64_MAX;
        const std::int64_t next = std::min({eventAt, traceAt, historyAt});
        if (next > target)
            break;
        advanceTo(registers, next);
        if (next == eventAt)
            apply(m_options.events[m_nextEvent++], registers);
        else if (next == historyAt)
            recordHistory(registers, next);
        else {
            traceRow(registers, next);
            m_nextTraceUs += m_options.tracePeriodUs;
        }
    }
    advanceTo(registers, target);
    publishStatus(registers, target);
    return over;
}

void Simulation::advanceTo(RegisterFile &registers, std::int64_t atUs)
{
    const MovingTheWorld moving;
    if (m_match)
        stepMatch(registers, atUs);
    else if (m_physics)
        m_physics->stepTo(m_model, registers, atUs);
    else
        m_model.stepTo(registers, atUs);
}

void Simulation::withPhysics(const std::function<void(Physics &)> &use)
{
    const std::int64_t now = Clock::instance().nowUs();
    FakeSpi::instance().update([&](RegisterFile &registers) {
        catchUp(registers, now);
        if (m_physics)
            use(*m_physics);
    });
}

void Simulation::closeTrace(const RegisterFile &registers)
{
    // The end pose matters more than the 0.1 s rhythm: one last row at the end.
    if (tracing() && m_options.world && m_model.lastUs() > m_nextTraceUs - m_options.tracePeriodUs)
        traceRow(registers, m_model.lastUs());
    if (m_traceFd >= 0) {
        ::close(m_traceFd);
        m_traceFd = -1;
    }
    removeCameraFolder();
    // The processes of a run share one world, and each draws it as it leaves
    // the run: the last to leave (the one that ends the run at --duration,
    // or the program that a wrapper script started) has the last word. A
    // shell leaves without exit handlers, so no one process can be relied on.
    // A process forked without a shared run has a world of its own: only
    // the launched process draws then.
    if (!m_options.plotPath.empty() && m_physics && (m_shared || processId() == m_process)) {
        std::string error;
        std::vector<const Physics *> robots{m_physics.get()};
        if (m_match) {
            // The first robot's field, with every robot on it in order.
            robots.clear();
            for (std::size_t r = 0; r < m_peers.size(); ++r)
                robots.push_back(r == m_robot ? m_physics.get() : m_peers[r].physics.get());
        }
        if (!writePlot(m_options.plotPath, robots, error)) {
            std::fprintf(stderr, "kestrix-sim: %s\n", error.c_str());
            outputLost();
        }
        m_options.plotPath.clear();
    }
}

void Simulation::traceRow(const RegisterFile &registers, std::int64_t atUs)
{
    const double seconds = double(atUs - m_startUs) / 1e6;
    const std::string row = printed([&](std::FILE *f) {
        if (m_match)
            traceMatchRow(f, registers, seconds);
        else
            writeTraceRow(f, seconds, registers, m_model, m_options.world ? m_physics.get() : nullptr);
    });
    if (const int error = appendWhole(m_traceFd, row)) {
        // Said once for the run: the rows stop for every process of it.
        m_traceLost = true;
        std::fprintf(stderr, "kestrix-sim: cannot write trace %s: %s; the trace stops before %.3f s\n",
                     m_options.tracePath.c_str(), std::strerror(error), seconds);
        std::fflush(stderr);
        outputLost();
    }
}

bool Simulation::tracing() const
{
    return m_traceFd >= 0 && !m_traceLost;
}

void Simulation::outputLost()
{
    if (m_options.lostOutputFd < 0)
        return;
    const std::uint64_t one = 1;
    (void)!::write(m_options.lostOutputFd, &one, sizeof one);
}

void Simulation::finishAtDuration()
{
    // One thread finishes; any other that gets here waits for the exit. So
    // does one that comes after the program began to exit: the exit has
    // closed the run and its status is the program's.
    finishLock().lock();
    if (m_finished) {
        finishLock().unlock();
        for (;;)
            ::pause();
    }
    FakeSpi::instance().update([&](RegisterFile &registers) {
        catchUp(registers, endUs());
        if (m_options.status)
            m_options.status->endedByDuration.store(1);
        closeTrace(registers);
    });
    leaveMatch();
    // The program's buffered output would otherwise be lost.
    std::fflush(nullptr);
    ::_exit(0);
}

void Simulation::finishAtExit()
{
    std::lock_guard<std::mutex> guard(finishLock());
    m_finished = true;
    sync();
    FakeSpi::instance().update([&](RegisterFile &registers) { closeTrace(registers); });
    leaveMatch();
}

} // namespace kxsim
