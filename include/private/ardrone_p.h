#ifndef KESTRIX_PRIVATE_ARDRONE_H
#define KESTRIX_PRIVATE_ARDRONE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "private/ardrone_emergency_stop_p.h"

// The drone's latest flight state. Units:
//   battery level  percent, 0-100
//   pitch/roll/yaw degrees (the drone sends thousandths of a degree)
//   altitude       metres above the ground (the drone sends millimetres)
//   velocities     metres per second (the drone sends millimetres per second)
//   x, y, z        metres travelled since connecting or the last
//                  clearPosition(), integrated from the velocities; the drone
//                  itself reports no position.
struct NavigationData
{
    std::int32_t batteryLevel = 0;
    float pitch = 0.0f;
    float roll = 0.0f;
    float yaw = 0.0f;
    float altitude = 0.0f;
    float xVelocity = 0.0f;
    float yVelocity = 0.0f;
    float zVelocity = 0.0f;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

// Client of the quadcopter's own protocol: AT commands over UDP, navigation
// data over UDP, the firmware version over the drone's FTP service.
//
// Every operation may be called from any thread. Commands given while
// disconnected are dropped. While connected, a sender thread repeats the
// current flight command every 30 ms (the drone hovers when it hears nothing
// for about 2 s) and a receiver thread keeps the latest navigation data; the
// client's emergency-stop watcher runs and follows setEmergencyStopEnabled().
class ARDrone
{
public:
    enum Version { UnknownVersion = 0, V1 = 1, V2 = 2 };
    // Disconnected is 0; the others follow the drone's latest state word.
    enum State { Disconnected = 0, Landed = 1, Flying = 2, Emergency = 3 };

    static constexpr std::uint16_t DefaultAtPort = 5556;
    static constexpr std::uint16_t DefaultNavdataPort = 5554;
    static constexpr std::uint16_t DefaultFtpPort = 5551;

    // The one client the C interface uses. Other instances are independent
    // clients (the library itself makes none).
    static ARDrone &instance();

    ARDrone();
    ~ARDrone();

    // Connects to the drone at the dotted-decimal IPv4 `address`: sends the
    // navdata trigger, asks for demo navdata and waits up to `timeout`
    // seconds for a valid navdata packet. True when one arrived; otherwise
    // everything is released and the state stays Disconnected. Connecting
    // while connected first drops the old link.
    bool connect(const char *address, double timeout);
    // Sends a last land command and drops the link. Idempotent; safe from
    // any thread, the emergency-stop watcher's included.
    void disconnect();

    // Reads version.txt over FTP: V1 or V2 by its major number,
    // UnknownVersion for any other number or when it cannot be read
    // (disconnected, no answer within 2 s).
    Version version() const;
    State state() const;

    void flatTrim();
    void takeoff();
    void land();
    // Stops moving and holds position.
    void hover();
    // Progressive move. Each value is a fraction of the drone's configured
    // maximum in [-1, 1] (clamped; NaN counts as 0): roll tilts right for
    // positive values, pitch tilts the nose down (forward) for negative
    // values, gaz climbs for positive values, yaw turns clockwise for
    // positive values.
    void move(float roll, float pitch, float gaz, float yaw);

    NavigationData navigationData() const;
    void clearPosition();

    // Pairs the drone to this controller's hardware address; nothing is
    // sent when the address cannot be found.
    void pair();
    // Expects "xx:xx:xx:xx:xx:xx" in hexadecimal ("00:00:00:00:00:00"
    // unpairs); anything else is dropped.
    void setOwnerAddress(const char *address);
    // The drone's network name (1 to 32 printable characters other than the
    // double quote), applied when the drone restarts; anything else is
    // dropped.
    void setSsid(const char *ssid);

    void setEmergencyStopEnabled(bool enabled);
    bool isEmergencyStopEnabled() const;

    // Inside the library and its tests only: the drone's ports (a fake drone
    // listens on free ports), taking effect at the next connect().
    void setPorts(std::uint16_t atPort, std::uint16_t navdataPort, std::uint16_t ftpPort);
    // Called at the end of every disconnect(), on the calling thread.
    void setDisconnectObserver(std::function<void()> observer);

    ARDrone(const ARDrone &) = delete;
    ARDrone &operator=(const ARDrone &) = delete;

private:
    class Watcher;

    void sendCommand(const std::string &name, const std::string &arguments);
    void sendLocked(const std::string &commands);
    void setRef(std::uint32_t ref);
    std::string commandLocked(const std::string &name, const std::string &arguments);
    std::string currentCommandsLocked();
    void senderLoop();
    void receiverLoop();
    void handlePacket(const unsigned char *data, std::size_t size);
    void tearDown();
    void shutDownLink();
    void releaseLocked();

    mutable std::mutex m_lifecycle; // connect() and disconnect() from outside the watcher
    mutable std::mutex m_lock;      // everything below
    std::uint16_t m_atPort = DefaultAtPort;
    std::uint16_t m_navdataPort = DefaultNavdataPort;
    std::uint16_t m_ftpPort = DefaultFtpPort;
    std::string m_address;
    int m_atSocket = -1;
    int m_navdataSocket = -1;
    std::uint32_t m_sequence = 0;
    std::uint32_t m_ref;
    bool m_moving = false;
    float m_move[4] = {0, 0, 0, 0};
    bool m_connected = false;
    bool m_gotNavdata = false;
    std::uint32_t m_droneState = 0;
    NavigationData m_navdata;
    std::int64_t m_lastNavdataMs = -1;
    std::function<void()> m_disconnectObserver;

    std::atomic<bool> m_threadsRun{false};
    std::condition_variable m_wake; // with m_lock: ends the sender's wait early
    std::thread m_sender;
    std::thread m_receiver;
    Watcher *m_watcher;
};

#endif
