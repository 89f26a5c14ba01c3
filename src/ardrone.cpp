#include "private/ardrone_p.h"

#include "private/network_interface_p.h"
#include "private/time_p.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// AT*REF input fields: bits 18, 20, 22, 24 and 28 are always set.
constexpr std::uint32_t RefLand = 0x11540000u;
constexpr std::uint32_t RefTakeoff = RefLand | (1u << 9);

constexpr std::uint32_t NavdataHeader = 0x55667788u;
constexpr std::uint16_t DemoTag = 0;
constexpr std::uint16_t ChecksumTag = 0xFFFF;
constexpr std::size_t DemoPayloadSize = 36; // the fields read below

constexpr std::uint32_t StateFlying = 1u << 0;
constexpr std::uint32_t StateCommandAck = 1u << 6;
constexpr std::uint32_t StateEmergency = 1u << 31;

// The drone hovers when it hears nothing for about 2 s.
constexpr auto WatchdogPeriod = std::chrono::milliseconds(30);
// Without an answer the trigger may have been lost: UDP.
constexpr auto TriggerRepeat = std::chrono::milliseconds(200);
// A longer gap between two packets says nothing about where the drone went.
constexpr std::int64_t MaxIntegrationGapMs = 500;

constexpr int FtpTimeoutMs = 2000;

thread_local bool t_onWatcherThread = false;

std::uint32_t readU32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t readU16(const unsigned char *p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

float readFloat(const unsigned char *p)
{
    const std::uint32_t bits = readU32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The drone reads float arguments as the bit pattern of an IEEE-754 single
// taken as a signed 32-bit integer.
std::string floatArgument(float value)
{
    if (std::isnan(value) || value == 0.0f)
        value = 0.0f; // also turns -0 into 0
    value = std::clamp(value, -1.0f, 1.0f);
    std::int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

bool parseAddress(const char *address, in_addr &result)
{
    return address != nullptr && inet_pton(AF_INET, address, &result) == 1;
}

// Connects `fd` to the drone's port; closes it and gives -1 on failure.
int connectOrClose(int fd, const in_addr &address, std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int udpSocketTo(const in_addr &address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    return connectOrClose(fd, address, port);
}

// A checked packet: the header is right and the checksum option holds the
// byte sum of everything before it.
bool packetIsValid(const unsigned char *data, std::size_t size)
{
    if (size < 16 || readU32(data) != NavdataHeader)
        return false;
    std::size_t offset = 16;
    while (offset + 4 <= size) {
        const std::uint16_t tag = readU16(data + offset);
        const std::uint16_t length = readU16(data + offset + 2);
        if (length < 4 || offset + length > size)
            return false;
        if (tag == ChecksumTag) {
            if (length != 8)
                return false;
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < offset; ++i)
                sum += data[i];
            return sum == readU32(data + offset + 4);
        }
        offset += length;
    }
    return false;
}

// The minimal FTP client that fetching version.txt needs.
class FtpConnection
{
public:
    explicit FtpConnection(int fd)
        : m_fd(fd)
    {
    }
    ~FtpConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // The code of the next reply, reading past the lines of a multi-line
    // one; -1 on time-out or a broken reply.
    int reply(std::string *lastLine = nullptr)
    {
        std::string line;
        if (!readLine(line) || line.size() < 3)
            return -1;
        const std::string code = line.substr(0, 3);
        if (line.size() > 3 && line[3] == '-') {
            do {
                if (!readLine(line))
                    return -1;
            } while (!(line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' '));
        }
        if (lastLine != nullptr)
            *lastLine = line;
        for (char c : code)
            if (c < '0' || c > '9')
                return -1;
        return std::stoi(code);
    }

    int command(const std::string &text, std::string *lastLine = nullptr)
    {
        const std::string line = text + "\r\n";
        if (::send(m_fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            return -1;
        return reply(lastLine);
    }

    int fd() const { return m_fd; }

private:
    bool readLine(std::string &line)
    {
        line.clear();
        for (;;) {
            const std::size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            if (m_buffer.size() > 4096)
                return false;
            char chunk[512];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    int m_fd;
    std::string m_buffer;
};

int tcpConnect(const in_addr &address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Linux bounds connect() by the send time-out and recv() by the receive
    // time-out: no call below can hang on a silent drone.
    timeval limit{FtpTimeoutMs / 1000, (FtpTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return connectOrClose(fd, address, port);
}

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" reply.
int passivePort(const std::string &line)
{
    const std::size_t open = line.find('(');
    if (open == std::string::npos)
        return -1;
    int values[6];
    int count = 0;
    const char *p = line.c_str() + open + 1;
    while (count < 6) {
        char *end;
        const long value = std::strtol(p, &end, 10);
        if (end == p || value < 0 || value > 255)
            return -1;
        values[count++] = static_cast<int>(value);
        p = end;
        if (count < 6 && *p++ != ',')
            return -1;
    }
    const int port = values[4] * 256 + values[5];
    return port > 0 ? port : -1;
}

bool fetchFile(const in_addr &address, std::uint16_t port, const char *name, std::string &content)
{
    const int controlFd = tcpConnect(address, port);
    if (controlFd < 0)
        return false;
    FtpConnection control(controlFd);
    if (control.reply() != 220)
        return false;
    int code = control.command("USER anonymous");
    if (code == 331)
        code = control.command("PASS anonymous@");
    if (code != 230)
        return false;
    if (control.command("TYPE I") != 200)
        return false;
    std::string pasv;
    if (control.command("PASV", &pasv) != 227)
        return false;
    const int dataPort = passivePort(pasv);
    if (dataPort < 0)
        return false;
    // The data connection goes to the host we already talk to, whatever
    // address the reply names.
    const int dataFd = tcpConnect(address, static_cast<std::uint16_t>(dataPort));
    if (dataFd < 0)
        return false;
    FtpConnection data(dataFd);
    code = control.command(std::string("RETR ") + name);
    if (code != 150 && code != 125)
        return false;
    content.clear();
    char chunk[256];
    for (;;) {
        const ssize_t got = ::recv(data.fd(), chunk, sizeof chunk, 0);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        content.append(chunk, static_cast<std::size_t>(got));
        if (content.size() > 4096)
            return false;
    }
    if (control.reply() != 226)
        return false;
    control.command("QUIT");
    return true;
}

bool validOwnerAddress(const char *address)
{
    if (address == nullptr || std::strlen(address) != 17)
        return false;
    for (int i = 0; i < 17; ++i) {
        const char c = address[i];
        if (i % 3 == 2 ? c != ':' : !std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool validSsid(const char *ssid)
{
    if (ssid == nullptr)
        return false;
    const std::size_t length = std::strlen(ssid);
    if (length == 0 || length > 32)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(ssid[i]);
        // A quote would end the argument, a control character the command.
        if (c < 0x20 || c == 0x7F || c == '"')
            return false;
    }
    return true;
}

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
    : m_ref(RefLand)
    , m_watcher(new Watcher(this))
{
}

ARDrone::~ARDrone()
{
    disconnect();
    delete m_watcher;
}

void ARDrone::setPorts(std::uint16_t atPort, std::uint16_t navdataPort, std::uint16_t ftpPort)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_atPort = atPort;
    m_navdataPort = navdataPort;
    m_ftpPort = ftpPort;
}

void ARDrone::setDisconnectObserver(std::function<void()> observer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_disconnectObserver = std::move(observer);
}

bool ARDrone::connect(const char *address, double timeout)
{
    std::lock_guard<std::mutex> life(m_lifecycle);
    tearDown();

    in_addr droneAddress;
    if (!parseAddress(address, droneAddress))
        return false;
    if (!(timeout > 0.0))
        timeout = 0.0;
    timeout = std::min(timeout, 86400.0);

    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_atSocket = udpSocketTo(droneAddress, m_atPort);
        m_navdataSocket = udpSocketTo(droneAddress, m_navdataPort);
        if (m_atSocket < 0 || m_navdataSocket < 0) {
            releaseLocked();
            return false;
        }
        m_address = address;
        m_sequence = 0;
        m_ref = RefLand;
        m_moving = false;
        m_gotNavdata = false;
        m_droneState = 0;
        m_navdata = NavigationData();
        m_lastNavdataMs = -1;
        // AT*REF with sequence 1 makes the drone forget the numbers of an
        // earlier session, which it would otherwise hold against us.
        std::string commands = commandLocked("REF", std::to_string(RefLand));
        commands += commandLocked("CONFIG", quoted("general:navdata_demo") + "," + quoted("TRUE"));
        sendLocked(commands);
    }

    static const unsigned char trigger[4] = {1, 0, 0, 0};
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(timeout));
    auto nextTrigger = start;
    bool answered = false;
    unsigned char packet[4096];
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextTrigger) {
            ::send(m_navdataSocket, trigger, sizeof trigger, MSG_NOSIGNAL);
            nextTrigger = now + TriggerRepeat;
        }
        const auto wake = std::min(deadline, nextTrigger);
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        pollfd poller{m_navdataSocket, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(std::max<long long>(waitMs, 0))) > 0) {
            const ssize_t got = ::recv(m_navdataSocket, packet, sizeof packet, MSG_DONTWAIT);
            if (got > 0) {
                handlePacket(packet, static_cast<std::size_t>(got));
                std::lock_guard<std::mutex> guard(m_lock);
                answered = m_gotNavdata;
            }
        }
        if (answered || std::chrono::steady_clock::now() >= deadline)
            break;
    }

    if (!answered) {
        std::lock_guard<std::mutex> guard(m_lock);
        releaseLocked();
        return false;
    }

    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_connected = true;
    }
    m_threadsRun = true;
    m_sender = std::thread(&ARDrone::senderLoop, this);
    m_receiver = std::thread(&ARDrone::receiverLoop, this);
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
    } else {
        std::lock_guard<std::mutex> life(m_lifecycle);
        tearDown();
    }
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        observer = m_disconnectObserver;
    }
    if (observer)
        observer();
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

void ARDrone::shutDownLink()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_connected) {
        // Leave the drone landing rather than hovering on its own.
        m_ref = RefLand;
        m_moving = false;
        sendLocked(commandLocked("REF", std::to_string(RefLand)));
    }
    m_connected = false;
    m_threadsRun = false;
    m_wake.notify_all();
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
    if (m_atSocket >= 0)
        ::close(m_atSocket);
    if (m_navdataSocket >= 0)
        ::close(m_navdataSocket);
    m_atSocket = -1;
    m_navdataSocket = -1;
    m_connected = false;
}

std::string ARDrone::commandLocked(const std::string &name, const std::string &arguments)
{
    std::string command = "AT*" + name + "=" + std::to_string(++m_sequence);
    command += ",";
    command += arguments;
    command += "\r";
    return command;
}

void ARDrone::sendLocked(const std::string &commands)
{
    if (m_atSocket >= 0)
        ::send(m_atSocket, commands.data(), commands.size(), MSG_NOSIGNAL);
}

void ARDrone::sendCommand(const std::string &name, const std::string &arguments)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_connected)
        sendLocked(commandLocked(name, arguments));
}

std::string ARDrone::currentCommandsLocked()
{
    std::string commands = commandLocked("REF", std::to_string(m_ref));
    if (m_moving)
        commands += commandLocked("PCMD", "1," + floatArgument(m_move[0]) + "," + floatArgument(m_move[1]) + "," +
                                              floatArgument(m_move[2]) + "," + floatArgument(m_move[3]));
    else
        commands += commandLocked("PCMD", "0,0,0,0,0");
    return commands;
}

void ARDrone::senderLoop()
{
    std::unique_lock<std::mutex> guard(m_lock);
    while (m_threadsRun) {
        if (m_wake.wait_for(guard, WatchdogPeriod, [this] { return !m_threadsRun; }))
            break;
        sendLocked(currentCommandsLocked());
    }
}

void ARDrone::receiverLoop()
{
    unsigned char packet[4096];
    while (m_threadsRun) {
        pollfd poller{m_navdataSocket, POLLIN, 0};
        if (::poll(&poller, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(m_navdataSocket, packet, sizeof packet, MSG_DONTWAIT);
        if (got > 0)
            handlePacket(packet, static_cast<std::size_t>(got));
    }
}

void ARDrone::handlePacket(const unsigned char *data, std::size_t size)
{
    if (!packetIsValid(data, size))
        return;
    const std::int64_t nowMs = Private::Time::systime();

    std::lock_guard<std::mutex> guard(m_lock);
    m_gotNavdata = true;
    m_droneState = readU32(data + 4);
    if (m_connected && (m_droneState & StateCommandAck) != 0)
        sendLocked(commandLocked("CTRL", "0,0"));

    for (std::size_t offset = 16; offset + 4 <= size;) {
        const std::uint16_t tag = readU16(data + offset);
        const std::uint16_t length = readU16(data + offset + 2);
        if (tag == ChecksumTag)
            break;
        if (tag == DemoTag && length >= 4 + DemoPayloadSize) {
            const unsigned char *p = data + offset + 4;
            NavigationData &n = m_navdata;
            n.batteryLevel = static_cast<std::int32_t>(readU32(p + 4));
            n.pitch = readFloat(p + 8) / 1000.0f;
            n.roll = readFloat(p + 12) / 1000.0f;
            n.yaw = readFloat(p + 16) / 1000.0f;
            n.altitude = static_cast<float>(static_cast<std::int32_t>(readU32(p + 20))) / 1000.0f;
            n.xVelocity = readFloat(p + 24) / 1000.0f;
            n.yVelocity = readFloat(p + 28) / 1000.0f;
            n.zVelocity = readFloat(p + 32) / 1000.0f;
            if (m_lastNavdataMs >= 0) {
                const std::int64_t gap = nowMs - m_lastNavdataMs;
                if (gap > 0 && gap <= MaxIntegrationGapMs) {
                    const float seconds = static_cast<float>(gap) / 1000.0f;
                    n.x += n.xVelocity * seconds;
                    n.y += n.yVelocity * seconds;
                    n.z += n.zVelocity * seconds;
                }
            }
            m_lastNavdataMs = nowMs;
        }
        offset += length;
    }
}

ARDrone::Version ARDrone::version() const
{
    in_addr address;
    std::uint16_t port;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_connected || !parseAddress(m_address.c_str(), address))
            return UnknownVersion;
        port = m_ftpPort;
    }
    std::string text;
    if (!fetchFile(address, port, "version.txt", text))
        return UnknownVersion;
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    std::size_t digits = i;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    const std::string major = text.substr(i, digits - i);
    if (major == "1")
        return V1;
    if (major == "2")
        return V2;
    return UnknownVersion;
}

ARDrone::State ARDrone::state() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return Disconnected;
    if (m_droneState & StateEmergency)
        return Emergency;
    if (m_droneState & StateFlying)
        return Flying;
    return Landed;
}

void ARDrone::flatTrim()
{
    sendCommand("FTRIM", "");
}

void ARDrone::takeoff()
{
    setRef(RefTakeoff);
}

void ARDrone::land()
{
    setRef(RefLand);
}

// The take-off/land word is the command the sender thread repeats.
void ARDrone::setRef(std::uint32_t ref)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return;
    m_ref = ref;
    sendLocked(commandLocked("REF", std::to_string(m_ref)));
}

void ARDrone::hover()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
        return;
    m_moving = false;
    sendLocked(commandLocked("PCMD", "0,0,0,0,0"));
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
    sendLocked(commandLocked("PCMD", "1," + floatArgument(roll) + "," + floatArgument(pitch) + "," +
                                         floatArgument(gaz) + "," + floatArgument(yaw)));
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
    if (!validOwnerAddress(address))
        return;
    sendCommand("CONFIG", quoted("network:owner_mac") + "," + quoted(address));
}

void ARDrone::setSsid(const char *ssid)
{
    if (!validSsid(ssid))
        return;
    sendCommand("CONFIG", quoted("network:ssid_single_player") + "," + quoted(ssid));
}

void ARDrone::setEmergencyStopEnabled(bool enabled)
{
    m_watcher->setEnabled(enabled);
}

bool ARDrone::isEmergencyStopEnabled() const
{
    return m_watcher->isEnabled();
}
