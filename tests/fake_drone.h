// A quadcopter on 127.0.0.1 with free ports: it records the AT commands it
// receives, answers the navdata trigger, streams navdata as the drone does
// (its latest packet again every 50 ms, each with the next sequence number)
// and serves version.txt over a tiny FTP responder. redirect() points the
// drone's fixed address at it through the fake network, so the client
// connects exactly as it would to the real drone.
#ifndef KESTRIX_TESTS_FAKE_DRONE_H
#define KESTRIX_TESTS_FAKE_DRONE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_network.h"

namespace fakedrone {

// The fields of a demo navdata option, as the drone sends them.
struct Demo
{
    std::uint32_t battery = 0;
    float pitch = 0, roll = 0, yaw = 0; // thousandths of a degree
    std::int32_t altitude = 0;          // millimetres
    float vx = 0, vy = 0, vz = 0;       // millimetres per second
};

inline void putU32(std::vector<unsigned char> &out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

inline void putU16(std::vector<unsigned char> &out, std::uint16_t value)
{
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

inline void putFloat(std::vector<unsigned char> &out, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    putU32(out, bits);
}

// A navdata packet: header, state word, the demo option when given (with
// the trailing fields a real drone adds), and the checksum option, spoiled
// on request.
inline std::vector<unsigned char> navdataPacket(std::uint32_t state, const std::optional<Demo> &demo,
                                                bool goodChecksum = true, std::uint32_t sequence = 1)
{
    std::vector<unsigned char> out;
    putU32(out, 0x55667788u);
    putU32(out, state);
    putU32(out, sequence);
    putU32(out, 0);
    if (demo) {
        putU16(out, 0);
        putU16(out, 4 + 40 + 8);
        putU32(out, 0x20000); // control state
        putU32(out, demo->battery);
        putFloat(out, demo->pitch);
        putFloat(out, demo->roll);
        putFloat(out, demo->yaw);
        putU32(out, static_cast<std::uint32_t>(demo->altitude));
        putFloat(out, demo->vx);
        putFloat(out, demo->vy);
        putFloat(out, demo->vz);
        putU32(out, 0); // frame index
        putU32(out, 0); // trailing fields the client ignores
        putU32(out, 0);
    }
    std::uint32_t sum = 0;
    for (unsigned char byte : out)
        sum += byte;
    putU16(out, 0xFFFF);
    putU16(out, 8);
    putU32(out, goodChecksum ? sum : sum + 1);
    return out;
}

// One AT command split into its parts.
struct Command
{
    std::string name;     // "REF"
    long sequence = -1;   // 5
    std::string arguments; // "290717696" (empty for "AT*FTRIM=5,")
    std::string text;      // the whole command without its carriage return
    std::chrono::steady_clock::time_point at; // when its datagram arrived
};

inline Command parseCommand(const std::string &text)
{
    Command command;
    command.text = text;
    const std::size_t star = text.find('*');
    const std::size_t equals = text.find('=');
    if (text.rfind("AT*", 0) != 0 || equals == std::string::npos)
        return command;
    command.name = text.substr(star + 1, equals - star - 1);
    const std::size_t comma = text.find(',', equals);
    command.sequence = std::stol(text.substr(equals + 1, comma - equals - 1));
    if (comma != std::string::npos)
        command.arguments = text.substr(comma + 1);
    return command;
}

// Gives `packet` the sequence number `sequence`, moving its checksum by as
// much as the bytes changed: a good checksum stays good, a spoiled one stays
// spoiled.
inline void stamp(std::vector<unsigned char> &packet, std::uint32_t sequence)
{
    if (packet.size() < 16 + 8)
        return;
    std::uint32_t before = 0, after = 0;
    for (int i = 0; i < 4; ++i) {
        before += packet[8 + i];
        packet[8 + i] = static_cast<unsigned char>(sequence >> (8 * i));
        after += packet[8 + i];
    }
    unsigned char *sum = packet.data() + packet.size() - 4;
    std::uint32_t value = std::uint32_t(sum[0]) | std::uint32_t(sum[1]) << 8 | std::uint32_t(sum[2]) << 16 |
                          std::uint32_t(sum[3]) << 24;
    value += after - before;
    for (int i = 0; i < 4; ++i)
        sum[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline int boundSocket(int type, std::uint16_t &port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        std::abort();
    if (type == SOCK_STREAM)
        ::listen(fd, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

class FakeDrone
{
public:
    // With `startNow` false the sockets are open (and queue what arrives)
    // but nothing answers until start(): a test can fork first, while the
    // process has a single thread.
    explicit FakeDrone(bool startNow = true)
    {
        m_atFd = boundSocket(SOCK_DGRAM, atPort);
        m_navFd = boundSocket(SOCK_DGRAM, navdataPort);
        m_ftpFd = boundSocket(SOCK_STREAM, ftpPort);
        if (startNow)
            start();
    }

    void start() { m_thread = std::thread([this] { loop(); }); }

    ~FakeDrone()
    {
        m_run = false;
        if (m_thread.joinable())
            m_thread.join();
        for (std::thread &session : m_sessions)
            session.join();
        ::close(m_atFd);
        ::close(m_navFd);
        ::close(m_ftpFd);
    }

    // Sends the drone's fixed address and ports to this fake.
    void redirect(const char *host = "192.168.1.1") const
    {
        kxsim::FakeNetwork::instance().redirectHost(host, {{5556, atPort}, {5554, navdataPort}, {5551, ftpPort}});
    }

    // What the drone sends when it hears the trigger; nothing when unset.
    void answerTriggerWith(std::vector<unsigned char> packet)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_answer = std::move(packet);
    }

    // Whether the latest packet is sent again every 50 ms (on by default).
    void setStreaming(bool on) { m_streaming = on; }

    // Replaces the FTP session: `session` gets the accepted connection and
    // returns when done (the fake closes it). Each runs on its own thread.
    void setFtpSession(std::function<void(int fd)> session)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_ftpSession = std::move(session);
    }
    // Sent before the greeting of the normal session.
    void setFtpBanner(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_banner = text;
    }

    void setVersionText(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_version = text;
    }

    // Sends a packet to the client that sent the trigger, with the next
    // sequence number; the stream repeats it from then on.
    void sendNavdata(const std::vector<unsigned char> &packet)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_latest = packet;
        sendLatestLocked();
    }

    // Sends the bytes unchanged (a stale or reordered packet), once.
    void sendNavdataAsIs(const std::vector<unsigned char> &packet)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ::sendto(m_navFd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&m_client),
                 sizeof m_client);
    }

    // The sequence number of the latest packet sent.
    std::uint32_t sequence() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_sequence;
    }

    int triggers() const { return m_triggers; }

    std::vector<Command> commands() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_commands;
    }

    // Waits up to `seconds` for a command that `match` accepts.
    bool waitFor(const std::function<bool(const Command &)> &match, double seconds = 3.0) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        do {
            for (const Command &command : commands())
                if (match(command))
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    std::uint16_t atPort = 0;
    std::uint16_t navdataPort = 0;
    std::uint16_t ftpPort = 0;

private:
    void sendLatestLocked()
    {
        if (m_latest.empty() || m_client.sin_port == 0)
            return;
        stamp(m_latest, ++m_sequence);
        ::sendto(m_navFd, m_latest.data(), m_latest.size(), 0, reinterpret_cast<sockaddr *>(&m_client),
                 sizeof m_client);
        m_lastSent = std::chrono::steady_clock::now();
    }

    void loop()
    {
        while (m_run) {
            if (m_streaming) {
                std::lock_guard<std::mutex> guard(m_lock);
                if (std::chrono::steady_clock::now() - m_lastSent >= std::chrono::milliseconds(50))
                    sendLatestLocked();
            }
            pollfd fds[3] = {{m_atFd, POLLIN, 0}, {m_navFd, POLLIN, 0}, {m_ftpFd, POLLIN, 0}};
            if (::poll(fds, 3, 10) <= 0)
                continue;
            if (fds[0].revents & POLLIN)
                receiveCommands();
            if (fds[1].revents & POLLIN)
                receiveTrigger();
            if (fds[2].revents & POLLIN)
                serveFtp();
        }
    }

    void receiveCommands()
    {
        char buffer[2048];
        const ssize_t got = ::recv(m_atFd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        std::string datagram(buffer, static_cast<std::size_t>(got));
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> guard(m_lock);
        std::size_t start = 0;
        while (start < datagram.size()) {
            std::size_t end = datagram.find('\r', start);
            if (end == std::string::npos)
                end = datagram.size(); // a command without its terminator stays visible as such
            m_commands.push_back(parseCommand(datagram.substr(start, end - start) +
                                              (end == datagram.size() ? "<unterminated>" : "")));
            m_commands.back().at = now;
            start = end + 1;
        }
    }

    void receiveTrigger()
    {
        unsigned char buffer[64];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(m_navFd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (got != 4 || buffer[0] != 1 || buffer[1] != 0 || buffer[2] != 0 || buffer[3] != 0)
            return;
        std::lock_guard<std::mutex> guard(m_lock);
        m_client = from;
        ++m_triggers;
        if (!m_answer.empty()) {
            m_latest = m_answer;
            sendLatestLocked();
        }
    }

    static void say(int fd, const std::string &line)
    {
        const std::string text = line + "\r\n";
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }

    static std::string hear(int fd)
    {
        std::string line;
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
            if (c != '\r')
                line += c;
        return line;
    }

    void serveFtp()
    {
        const int fd = ::accept(m_ftpFd, nullptr, nullptr);
        if (fd < 0)
            return;
        timeval limit{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::function<void(int)> session;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            session = m_ftpSession;
        }
        if (!session)
            session = [this](int client) { normalSession(client); };
        m_sessions.emplace_back([fd, session] {
            session(fd);
            ::close(fd);
        });
    }

    // Scripted for the client's requests.
    void normalSession(int fd)
    {
        std::string version, banner;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            version = m_version;
            banner = m_banner;
        }
        ::send(fd, banner.data(), banner.size(), MSG_NOSIGNAL);
        int dataListener = -1;
        say(fd, "220-Fake drone");
        say(fd, "220 ready");
        for (;;) {
            const std::string line = hear(fd);
            if (line.empty() || line == "QUIT") {
                say(fd, "221 bye");
                break;
            }
            if (line == "USER anonymous")
                say(fd, "331 password please");
            else if (line.rfind("PASS", 0) == 0)
                say(fd, "230 in");
            else if (line == "TYPE I")
                say(fd, "200 binary");
            else if (line == "PASV") {
                std::uint16_t port;
                dataListener = boundSocket(SOCK_STREAM, port);
                say(fd, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                            std::to_string(port % 256) + ")");
            } else if (line == "RETR version.txt" && dataListener >= 0) {
                if (version.empty()) {
                    say(fd, "550 no such file");
                    continue;
                }
                say(fd, "150 sending");
                const int data = ::accept(dataListener, nullptr, nullptr);
                ::send(data, version.data(), version.size(), MSG_NOSIGNAL);
                ::close(data);
                say(fd, "226 done");
            } else
                say(fd, "500 what");
        }
        if (dataListener >= 0)
            ::close(dataListener);
    }

    int m_atFd, m_navFd, m_ftpFd;
    std::atomic<bool> m_run{true};
    std::atomic<int> m_triggers{0};
    std::atomic<bool> m_streaming{true};
    mutable std::mutex m_lock;
    std::vector<unsigned char> m_answer;
    std::vector<unsigned char> m_latest;
    std::uint32_t m_sequence = 0;
    std::chrono::steady_clock::time_point m_lastSent;
    std::function<void(int)> m_ftpSession;
    std::string m_banner;
    std::vector<std::thread> m_sessions; // joined by the destructor
    std::string m_version;
    sockaddr_in m_client{};
    std::vector<Command> m_commands;
    std::thread m_thread;
};

} // namespace fakedrone

#endif
