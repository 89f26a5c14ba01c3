#ifndef KESTRIX_PRIVATE_ARDRONE_P_H
#define KESTRIX_PRIVATE_ARDRONE_P_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "private/ardrone_emergency_stop_p.h"
#include "private/ardrone_navdata_p.h"

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

    static constexpr std::uint16_t AtPort = 5556;
    static constexpr std::uint16_t NavdataPort = 5554;
    static constexpr std::uint16_t FtpPort = 5551;
    // Navdata older than this says nothing about the drone now: state() is
    // Disconnected until a fresh packet comes (the client asks for one
    // every 200 ms meanwhile).
    static constexpr std::chrono::milliseconds NavdataLimit{1000};
    // How long disconnect() repeats the land command, at the command period.
    static constexpr std::chrono::milliseconds LandingRepeat{500};

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
    // Repeats the land command every 30 ms for LandingRepeat (so it takes
    // about half a second while connected), then drops the link. Requests
    // made meanwhile are dropped. Idempotent; safe from any thread, the
    // emergency-stop watcher's included.
    void disconnect();

    // Reads version.txt over FTP: V1 or V2 by its major number,
    // UnknownVersion for any other number or when it cannot be read
    // (disconnected, or not read within 3 s, or replies beyond 64 lines of
    // 512 bytes).
    Version version() const;
    // Disconnected while not connected and while the latest navdata is older
    // than NavdataLimit; otherwise from the drone's state word.
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

    // The readings of the latest packet taken. A packet is dropped when its
    // sequence number is not newer than the last one taken in this
    // connection or when a reading is not finite; the battery level is
    // clamped to 0-100. While state() is Disconnected for stale navdata,
    // these are the last readings received.
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

    ARDrone(const ARDrone &) = delete;
    ARDrone &operator=(const ARDrone &) = delete;

private:
    class Watcher;

    // The drone hovers when it hears nothing for about 2 s.
    static constexpr std::chrono::milliseconds CommandPeriod{30};
    // Without an answer the trigger may have been lost: UDP. A drone that
    // has stopped streaming starts again when it hears the trigger.
    static constexpr std::chrono::milliseconds TriggerRepeat{200};
    // A longer gap between two packets says nothing about where the drone
    // went: the position does not move over it.
    static constexpr std::chrono::milliseconds MaxIntegrationGap{500};

    void sendCommand(const char *name, const std::string &arguments);
    void sendLocked(const std::string &commands);
    void setRef(std::uint32_t ref);
    std::string commandLocked(const char *name, const std::string &arguments);
    void senderLoop();
    void receiverLoop();
    void sendTrigger();
    void receiveNavdata(std::chrono::steady_clock::time_point until);
    bool isStaleLocked(std::chrono::steady_clock::time_point now) const;
    void tearDown();
    void shutDownLink();
    void releaseLocked();

    mutable std::mutex m_lifecycle; // connect() and disconnect() from outside the watcher
    mutable std::mutex m_lock;      // everything below
    std::string m_address;
    int m_atSocket = -1;
    int m_navdataSocket = -1;
    std::uint32_t m_sequence = 0;
    std::uint32_t m_ref;
    bool m_moving = false;
    float m_move[4] = {0, 0, 0, 0};
    bool m_connected = false;
    bool m_gotNavdata = false;   // in this connection
    std::uint32_t m_lastSequence = 0;
    std::chrono::steady_clock::time_point m_lastNavdata;
    std::chrono::steady_clock::time_point m_lastDemo; // zero: none yet
    std::uint32_t m_droneState = 0;
    bool m_ackAnswered = false;  // for the acknowledge bit now up
    NavigationData m_navdata;

    std::atomic<bool> m_threadsRun{false};
    std::condition_variable m_wake; // with m_lock: ends the sender's wait early
    std::thread m_sender;
    std::thread m_receiver;
    Watcher *m_watcher;
};

#endif
