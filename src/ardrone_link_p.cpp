// The client's link to the drone: the sockets, the sender and receiver
// threads, navdata as it arrives, and the landing that ends a connection.
#include "private/ardrone_p.h"

#include "private/ardrone_commands_p.h"
#include "private/ardrone_socket_p.h"

#include <algorithm>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace At = Private::AtCommands;
namespace Navdata = Private::Navdata;
using Clock = std::chrono::steady_clock;

void ARDrone::shutDownLink()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const bool wasConnected = m_connected;
        // From here on requests are dropped and the sender gives way to the
        // landing below.
        m_connected = false;
        m_threadsRun = false;
        m_wake.notify_all();
        if (!wasConnected)
            return;
        m_ref = At::RefLand;
        m_moving = false;
    }
    // Leave the drone landing rather than hovering on its own. One datagram
    // is easily lost on the radio link: say it at the command period for a
    // while.
    const auto end = Clock::now() + LandingRepeat;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            sendLocked(commandLocked("REF", At::ref(At::RefLand)));
        }
        // The last one goes out once the whole time has passed, however
        // late the sleeps wake.
        if (Clock::now() >= end)
            break;
        std::this_thread::sleep_for(std::min<Clock::duration>(CommandPeriod, end - Clock::now()));
    }
}

// Called with m_lock held. The sender and receiver take m_lock themselves,
// so they are joined with it released; the watcher is not running.
void ARDrone::releaseLocked()
{
    m_threadsRun = false;
    m_wake.notify_all();
    if (m_sender.joinable() || m_receiver.joinable()) {
        m_lock.unlock();
        if (m_sender.joinable())
            m_sender.join();
        if (m_receiver.joinable())
            m_receiver.join();
        m_lock.lock();
    }
    for (int *fd : {&m_atSocket, &m_navdataSocket}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_connected = false;
}

std::string ARDrone::commandLocked(const char *name, const std::string &arguments)
{
    return At::format(++m_sequence, name, arguments);
}

void ARDrone::sendLocked(const std::string &commands)
{
    if (m_atSocket >= 0)
        ::send(m_atSocket, commands.data(), commands.size(), MSG_NOSIGNAL);
}

void ARDrone::sendCommand(const char *name, const std::string &arguments)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_connected)
        sendLocked(commandLocked(name, arguments));
}

void ARDrone::senderLoop()
{
    std::unique_lock<std::mutex> guard(m_lock);
    while (!m_wake.wait_for(guard, CommandPeriod, [this] { return !m_threadsRun; })) {
        std::string commands = commandLocked("REF", At::ref(m_ref));
        commands += commandLocked("PCMD", m_moving ? At::move(m_move[0], m_move[1], m_move[2], m_move[3]) : At::hover());
        sendLocked(commands);
    }
}

void ARDrone::receiverLoop()
{
    auto lastTrigger = Clock::now();
    while (m_threadsRun) {
        receiveNavdata(Clock::now() + std::chrono::milliseconds(50));
        const auto now = Clock::now();
        std::lock_guard<std::mutex> guard(m_lock);
        if (isStaleLocked(now) && now - lastTrigger >= TriggerRepeat) {
            sendTrigger();
            lastTrigger = now;
        }
    }
}

// Takes one packet that arrives before `until`.
void ARDrone::receiveNavdata(Clock::time_point until)
{
    if (!Private::DroneSocket::waitFor(m_navdataSocket, POLLIN, until))
        return;
    unsigned char data[4096];
    const ssize_t got = ::recv(m_navdataSocket, data, sizeof data, MSG_DONTWAIT);
    Navdata::Packet packet;
    if (got <= 0 || !Navdata::decode(data, static_cast<std::size_t>(got), packet))
        return;
    const auto now = Clock::now();

    std::lock_guard<std::mutex> guard(m_lock);
    // UDP may reorder: a packet not newer than the last one taken is old news.
    if (m_gotNavdata && packet.sequence <= m_lastSequence)
        return;
    if (packet.hasDemo) {
        const auto gap = now - m_lastDemo;
        const bool integrate = m_lastDemo != Clock::time_point() && gap > Clock::duration::zero() &&
                               gap <= MaxIntegrationGap;
        Navdata::update(m_navdata, packet.demo, integrate ? std::chrono::duration<float>(gap).count() : 0.0f);
        m_lastDemo = now;
    }
    m_gotNavdata = true;
    m_lastSequence = packet.sequence;
    m_lastNavdata = now;
    m_droneState = packet.state;
    // The bit stays up until the drone hears the acknowledgement: answer
    // each rise once, not every packet that still shows it.
    const bool ack = (packet.state & Navdata::StateCommandAck) != 0;
    if (ack && !m_ackAnswered && m_connected) {
        sendLocked(commandLocked("CTRL", At::acknowledge()));
        m_ackAnswered = true;
    } else if (!ack) {
        m_ackAnswered = false;
    }
}

bool ARDrone::isStaleLocked(Clock::time_point now) const
{
    return !m_gotNavdata || now - m_lastNavdata > NavdataLimit;
}

// The drone streams navdata to whoever sent this to its navdata port.
void ARDrone::sendTrigger()
{
    static const unsigned char trigger[4] = {1, 0, 0, 0};
    ::send(m_navdataSocket, trigger, sizeof trigger, MSG_NOSIGNAL);
}
