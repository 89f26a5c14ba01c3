#include "private/ardrone_p.h"

#include "private/ardrone_commands_p.h"
#include "private/ardrone_socket_p.h"
#include "private/ardrone_version_p.h"
#include "private/network_interface_p.h"

#include <algorithm>

namespace At = Private::AtCommands;
namespace Navdata = Private::Navdata;
using Private::DroneSocket::parseAddress;
using Clock = std::chrono::steady_clock;

namespace {

thread_local bool t_onWatcherThread = false;

} // namespace

// The client's watcher, which remembers its thread so that a disconnect()
// coming from it does not wait for the watcher itself.
class ARDrone::Watcher : public Private::ARDroneEmergencyStop
{
public:
    using ARDroneEmergencyStop::ARDroneEmergencyStop;

    void run() override
    {
        t_onWatcherThread = true;
        ARDroneEmergencyStop::run();
        t_onWatcherThread = false;
    }
};

ARDrone &ARDrone::instance()
{
    static ARDrone s_instance;
    return s_instance;
}

ARDrone::ARDrone()
    : m_ref(At::RefLand)
    , m_watcher(new Watcher(this))
{
}

ARDrone::~ARDrone()
{
    disconnect();
    delete m_watcher;
}

bool ARDrone::connect(const char *address, double timeout)
{
    std::lock_guard<std::mutex> life(m_lifecycle);
    tearDown();

    in_addr droneAddress;
    if (!parseAddress(address, droneAddress))
        return false;
    timeout = std::min(timeout > 0.0 ? timeout : 0.0, 86400.0);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_atSocket = Private::DroneSocket::udpTo(droneAddress, AtPort);
        m_navdataSocket = Private::DroneSocket::udpTo(droneAddress, NavdataPort);
        if (m_atSocket < 0 || m_navdataSocket < 0) {
            releaseLocked();
            return false;
        }
        m_address = address;
        m_sequence = 0;
        m_ref = At::RefLand;
        m_moving = false;
        m_gotNavdata = false;
        m_droneState = 0;
        m_ackAnswered = false;
        m_lastDemo = Clock::time_point();
        m_navdata = NavigationData();
        // AT*REF with sequence 1 makes the drone forget the numbers of an
        // earlier session, which it would otherwise hold against us.
        std::string commands = commandLocked("REF", At::ref(At::RefLand));
        commands += commandLocked("CONFIG", At::config("general:navdata_demo", "TRUE"));
        sendLocked(commands);
    }

    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    auto nextTrigger = Clock::now();
    bool answered = false;
    while (!answered && Clock::now() < deadline) {
        if (Clock::now() >= nextTrigger) {
            sendTrigger();
            nextTrigger = Clock::now() + TriggerRepeat;
        }
        receiveNavdata(std::min(deadline, nextTrigger));
        std::lock_guard<std::mutex> guard(m_lock);
        answered = m_gotNavdata;
    }

    std::lock_guard<std::mutex> guard(m_lock);
    if (!answered) {
        releaseLocked();
        return false;
    }
    m_connected = true;
    m_threadsRun = true;
    // Lambdas rather than member pointers: a std::thread over a member
    // pointer would put this class's name in the library's exported symbols.
    m_sender = std::thread([this] { senderLoop(); });
    m_receiver = std::thread([this] { receiverLoop(); });
    m_watcher->start();
    return true;
}

void ARDrone::disconnect()
{
    if (t_onWatcherThread) {
        // The emergency path: the owner's thread may hold m_lifecycle while
        // it waits for this very watcher, so only cut the link here; the
        // threads and sockets go with the process or the next connect().
        shutDownLink();
        return;
    }
    std::lock_guard<std::mutex> life(m_lifecycle);
    tearDown();
}

// With m_lifecycle held, never on the watcher's thread.
void ARDrone::tearDown()
{
    shutDownLink();
    // run() clears the stop flag when it begins, so a single stop() could
    // land before that and be lost: repeat it until run() is over. The
    // watcher may take the emergency path meanwhile; it needs m_lock only.
    while (m_watcher->isRunning()) {
        m_watcher->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_watcher->join();
    std::lock_guard<std::mutex> guard(m_lock);
    releaseLocked();
}

ARDrone::Version ARDrone::version() const
{
    in_addr address;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_connected || !parseAddress(m_address.c_str(), address))
            return UnknownVersion;
    }
    std::string text;
    if (!Private::DroneVersion::fetchFile(address, FtpPort, "version.txt", text))
        return UnknownVersion;
    const int major = Private::DroneVersion::majorNumber(text);
    return major == V1 || major == V2 ? static_cast<Version>(major) : UnknownVersion;
}

ARDrone::State ARDrone::state() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected || isStaleLocked(Clock::now()))
        return Disconnected;
    if (m_droneState & Navdata::StateEmergency)
        return Emergency;
    return (m_droneState & Navdata::StateFlying) ? Flying : Landed;
}

void ARDrone::flatTrim()
{
    sendCommand("FTRIM", "");
}

void ARDrone::takeoff()
{
    setRef(At::RefTakeoff);
}

void ARDrone::land()
{
    setRef(At::RefLand);
}

// The take-off/land word is the command the sender thread repeats.
void ARDrone::setRef(std::uint32_t ref)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return;
    m_ref = ref;
    sendLocked(commandLocked("REF", At::ref(m_ref)));
}

void ARDrone::hover()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return;
    m_moving = false;
    sendLocked(commandLocked("PCMD", At::hover()));
}

void ARDrone::move(float roll, float pitch, float gaz, float yaw)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return;
    m_moving = true;
    m_move[0] = roll;
    m_move[1] = pitch;
    m_move[2] = gaz;
    m_move[3] = yaw;
    sendLocked(commandLocked("PCMD", At::move(roll, pitch, gaz, yaw)));
}

NavigationData ARDrone::navigationData() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_navdata;
}

void ARDrone::clearPosition()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_navdata.x = 0.0f;
    m_navdata.y = 0.0f;
    m_navdata.z = 0.0f;
}

void ARDrone::pair()
{
    char *address = Private::NetworkInterface::macAddress(nullptr);
    if (address == nullptr)
        return;
    setOwnerAddress(address);
    delete[] address;
}

void ARDrone::setOwnerAddress(const char *address)
{
    if (At::isValidOwnerAddress(address))
        sendCommand("CONFIG", At::config("network:owner_mac", address));
}

void ARDrone::setSsid(const char *ssid)
{
    if (At::isValidSsid(ssid))
        sendCommand("CONFIG", At::config("network:ssid_single_player", ssid));
}

void ARDrone::setEmergencyStopEnabled(bool enabled)
{
    m_watcher->setEnabled(enabled);
}

bool ARDrone::isEmergencyStopEnabled() const
{
    return m_watcher->isEnabled();
}
