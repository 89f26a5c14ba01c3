#include "preload/panel_control.h"

#include "clock/fake_clock.h"
#include "fakes/fake_input.h"
#include "physics/physics.h"
#include "model/script.h"
#include "preload/simulation.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include <time.h>

namespace kxsim {

namespace {

constexpr long PollNs = 1000000;
constexpr std::int64_t StepPressUs = 100000; // one press of "step": 0.1 s simulated
constexpr std::int64_t ClickHoldUs = 50000; // five polls of the library's waits
constexpr std::int64_t ProgramQuietNs = 20000000;

std::int64_t monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

PanelControl &PanelControl::instance()
{
    // Never destroyed: its thread runs until the process is gone.
    static PanelControl &s_instance = *new PanelControl;
    return s_instance;
}

void PanelControl::start(SimStatus *status, bool virtualTime, double speed)
{
    m_status = status;
    m_virtual = virtualTime;
    m_speed = speed;
    publish();
    m_status->panel.listening.store(1);
    // The simulator's own thread: the clock does not wait for it, and its
    // sleeps are real.
    OwnThreads own;
    std::thread([this] { run(); }).detach();
}

void PanelControl::run()
{
    PanelChannel &channel = m_status->panel;
    for (;;) {
        std::uint32_t taken = channel.taken.load(std::memory_order_relaxed);
        const std::uint32_t written = channel.written.load(std::memory_order_acquire);
        while (taken != written) {
            apply(channel.ring[taken % PanelChannel::Capacity]);
            channel.taken.store(++taken, std::memory_order_release);
            channel.lastTakenRealNs.store(monotonicNs());
        }
        changeButtons(false);
        // A step on the scaled clock ends here if no program thread slept
        // past its end.
        if (stepOver())
            pause();
        timespec pause{0, PollNs};
        ::clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
}

void PanelControl::apply(const PanelCommand &command)
{
    ScriptEvent event;
    event.port = command.port;
    switch (command.kind) {
    case PanelCommand::Button:
        button(command.port, command.value != 0);
        break;
    case PanelCommand::Analog:
    case PanelCommand::Digital:
        event.kind = command.kind == PanelCommand::Analog ? ScriptEvent::Kind::Analog : ScriptEvent::Kind::Digital;
        if (command.value >= 0)
            event.value = command.value;
        Simulation::instance().applyNow(event);
        break;
    case PanelCommand::Pause:
        pause();
        break;
    case PanelCommand::Resume:
        resume();
        break;
    case PanelCommand::Step: {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_paused)
            break;
        m_stepEndUs = Clock::instance().nowUs() + StepPressUs;
        guard.unlock();
        resume();
        break;
    }
    case PanelCommand::Speed: {
        std::lock_guard<std::mutex> guard(m_lock);
        m_virtual = command.a == 0;
        if (!m_virtual)
            m_speed = command.a;
        // A paused clock stays frozen; resume starts it at the new speed.
        if (!m_paused)
            Clock::instance().setMode(m_virtual ? Clock::Mode::Virtual : Clock::Mode::Scaled, m_speed);
        break;
    }
    case PanelCommand::Pose:
        Simulation::instance().withPhysics([&](Physics &physics) {
            if (physics.hasWorld())
                physics.setPose(Pose{command.a, command.b, command.c});
        });
        break;
    }
    publish();
}

// Buttons change between two of the program's sleeps, where its polls of
// the buttons sit: a press that landed between the library's two reads of
// one click check would be taken for the end of an earlier press and lost.
// Only when the program has not slept for ProgramQuietNs does the polling
// thread change them itself.
void PanelControl::button(int id, bool pressed)
{
    if (id < 0 || id > ButtonSide)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_buttonQueue.push_back({id, pressed});
}

// A click shorter than ClickHoldUs of simulated time is held down that long,
// so that a program polling the buttons every few milliseconds sees it
// however quickly the release follows the press.
void PanelControl::changeButtons(bool program)
{
    const std::int64_t now = Clock::instance().nowUs();
    const std::int64_t real = monotonicNs();
    std::lock_guard<std::mutex> guard(m_lock);
    if (program)
        m_programNs = real;
    else if (real - m_programNs < ProgramQuietNs)
        return;
    FakeInput &input = FakeInput::instance();
    for (const auto &[id, pressed] : m_buttonQueue) {
        const std::size_t n = std::size_t(id);
        if (pressed) {
            input.setKey(Simulation::keyCode(id), true);
            m_pressedUs[n] = now;
            m_releaseUs[n] = 0;
        } else {
            m_releaseUs[n] = std::max(now, m_pressedUs[n] + ClickHoldUs);
        }
    }
    m_buttonQueue.clear();
    for (std::size_t n = 0; n < m_releaseUs.size(); ++n)
        if (m_releaseUs[n] != 0 && now >= m_releaseUs[n]) {
            input.setKey(Simulation::keyCode(int(n)), false);
            m_releaseUs[n] = 0;
        }
}

// The scaled clock freezes by turning virtual: it then moves only when a
// program thread sleeps, and every program thread waits after its sleep.
void PanelControl::pause()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stepEndUs = 0;
    if (m_paused)
        return;
    m_paused = true;
    Clock::instance().setMode(Clock::Mode::Virtual);
    m_status->panel.paused.store(1);
}

void PanelControl::resume()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_paused)
            return;
        m_paused = false;
        Clock::instance().setMode(m_virtual ? Clock::Mode::Virtual : Clock::Mode::Scaled, m_speed);
        m_status->panel.paused.store(0);
    }
    m_resumed.notify_all();
}

bool PanelControl::stepOver()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_paused && m_stepEndUs != 0 && Clock::instance().nowUs() >= m_stepEndUs;
}

void PanelControl::publish()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_status->panel.paused.store(m_paused ? 1 : 0);
    m_status->panel.speedMillis.store(m_virtual ? 0 : std::llround(m_speed * 1000));
}

void PanelControl::holdWhilePaused()
{
    if (m_status == nullptr)
        return;
    if (stepOver())
        pause();
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_resumed.wait(guard, [this] { return !m_paused; });
    }
    changeButtons(true);
}

} // namespace kxsim
