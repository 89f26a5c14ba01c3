// kestrix-sim --panel from the outside, for the panel's tests and bench: the
// launcher started on a program, its panel's port, a plain HTTP/1.1 client
// over a socket (so requests can carry any headers, or none), and a crowd of
// slow and streaming clients.
#ifndef KESTRIX_TESTS_PANEL_RUN_H
#define KESTRIX_TESTS_PANEL_RUN_H

#include <nlohmann/json.hpp>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace panel {

struct Reply
{
    int status = 0; // 0: no connection
    std::string body;
};

// A connection to the panel from `from` (any address of 127.0.0.0/8), with
// a receive timeout so that a server that never answers fails the test
// instead of hanging it. -1 when it cannot connect.
inline int connectTo(int port, const char *from = "127.0.0.1", int timeoutMs = 10000)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &source.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

inline bool sendAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// Sends `text` as it is on a connection of its own and reads the reply until
// the server closes (every request here says "Connection: close").
inline Reply roundTrip(int port, const std::string &text, const char *from = "127.0.0.1", int timeoutMs = 10000)
{
    Reply reply;
    const int fd = connectTo(port, from, timeoutMs);
    if (fd < 0)
        return reply;
    sendAll(fd, text);
    std::string response;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        response.append(buffer, std::size_t(n));
    ::close(fd);
    if (response.rfind("HTTP/1.1 ", 0) != 0)
        return reply;
    reply.status = std::atoi(response.c_str() + 9);
    const std::size_t head = response.find("\r\n\r\n");
    reply.body = head == std::string::npos ? "" : response.substr(head + 4);
    return reply;
}

// One request on a connection of its own. `host` empty: "127.0.0.1:PORT";
// "-": no Host header at all. `headers`: more lines, each ending in CRLF.
inline Reply request(int port, const std::string &method, const std::string &path, const std::string &body = "",
                     std::string host = "", const std::string &headers = "", int timeoutMs = 10000)
{
    if (host.empty())
        host = "127.0.0.1:" + std::to_string(port);
    std::string text = method + " " + path + " HTTP/1.1\r\n";
    if (host != "-")
        text += "Host: " + host + "\r\n";
    text += headers + "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return roundTrip(port, text, "127.0.0.1", timeoutMs);
}

// A POST with no body and no Content-Length, as `curl -X POST URL` sends.
inline Reply post(int port, const std::string &path)
{
    return roundTrip(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n");
}

inline nlohmann::json state(int port, const std::string &path = "/state")
{
    const Reply reply = request(port, "GET", path);
    return reply.status == 200 ? nlohmann::json::parse(reply.body, nullptr, false) : nlohmann::json();
}

// GET /events, read event by event.
class Events
{
public:
    // `keepAlive`: the request lets the connection stay open after the
    // stream, as a browser's does.
    explicit Events(int port, bool keepAlive = false) : m_fd(connectTo(port))
    {
        if (m_fd >= 0)
            sendAll(m_fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              (keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n"));
    }
    ~Events()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Events(const Events &) = delete;
    Events &operator=(const Events &) = delete;

    // The next event's JSON; null once the stream ends or after `timeoutMs`.
    nlohmann::json next(int timeoutMs = 2000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            decode();
            const std::size_t start = m_buffer.find("data: ");
            const std::size_t end = start == std::string::npos ? start : m_buffer.find("\n\n", start);
            if (end != std::string::npos) {
                const std::string data = m_buffer.substr(start + 6, end - start - 6);
                m_buffer.erase(0, end + 2);
                return nlohmann::json::parse(data, nullptr, false);
            }
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     until - std::chrono::steady_clock::now())
                                     .count());
            pollfd ready{m_fd, POLLIN, 0};
            if (m_fd < 0 || left <= 0 || ::poll(&ready, 1, left) <= 0)
                return nullptr;
            char buffer[65536];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return nullptr;
            m_raw.append(buffer, std::size_t(n));
        }
    }

private:
    // Moves the body's bytes from m_raw to m_buffer: after the head, and
    // out of their chunks when the stream comes chunked.
    void decode()
    {
        if (!m_body) {
            const std::size_t head = m_raw.find("\r\n\r\n");
            if (head == std::string::npos)
                return;
            std::string lower = m_raw.substr(0, head);
            for (char &c : lower)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            m_chunked = lower.find("transfer-encoding: chunked") != std::string::npos;
            m_raw.erase(0, head + 4);
            m_body = true;
        }
        if (!m_chunked) {
            m_buffer += m_raw;
            m_raw.clear();
            return;
        }
        for (;;) {
            const std::size_t line = m_raw.find("\r\n");
            if (line == std::string::npos)
                return;
            const std::size_t size = std::strtoul(m_raw.c_str(), nullptr, 16);
            if (m_raw.size() < line + 2 + size + 2)
                return;
            m_buffer.append(m_raw, line + 2, size);
            m_raw.erase(0, line + 2 + size + 2);
        }
    }

    int m_fd;
    std::string m_raw, m_buffer;
    bool m_body = false, m_chunked = false;
};

// kestrix-sim started with `arguments` (--panel=0 among them); standard
// output goes to `outPath` (empty: a pipe, outFd()), standard error is read
// until the panel's address.
class Run
{
public:
    Run(const std::string &launcher, const std::vector<std::string> &arguments, const std::string &outPath)
    {
        int err[2], pipeOut[2] = {-1, -1};
        if (::pipe2(err, O_CLOEXEC) != 0 || (outPath.empty() && ::pipe2(pipeOut, O_CLOEXEC) != 0))
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = outPath.empty() ? pipeOut[1] : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err[1], 2);
            std::vector<char *> argv{const_cast<char *>(launcher.c_str())};
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(launcher.c_str(), argv.data());
            ::_exit(126);
        }
        ::close(err[1]);
        m_err = err[0];
        if (pipeOut[1] >= 0)
            ::close(pipeOut[1]);
        m_out = pipeOut[0];
        // Standard error up to the address line (or the end).
        const std::string marker = "panel at http://127.0.0.1:";
        for (;;) {
            const std::size_t at = m_errText.find(marker);
            if (at != std::string::npos && m_errText.find('\n', at) != std::string::npos) {
                m_port = std::atoi(m_errText.c_str() + at + marker.size());
                break;
            }
            pollfd ready{m_err, POLLIN, 0};
            if (::poll(&ready, 1, 5000) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = ::read(m_err, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_errText.append(buffer, std::size_t(n));
        }
    }
    ~Run()
    {
        // The launcher passes SIGTERM on to its program and then ends.
        if (m_pid > 0 && !m_reaped) {
            ::kill(m_pid, SIGTERM);
            if (wait(3000) == -1) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
            }
        }
        if (m_err >= 0)
            ::close(m_err);
        if (m_out >= 0)
            ::close(m_out);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    int port() const { return m_port; }
    int outFd() const { return m_out; }
    pid_t pid() const { return m_pid; }
    // The launcher's exit status (128 + N for signal N), after at most
    // `timeoutMs`; -1 if it still runs then.
    int wait(int timeoutMs = 10000)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            drainErr();
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_reaped = true;
                drainErr();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > until)
                return -1;
            ::usleep(5000);
        }
    }
    const std::string &err() const { return m_errText; }

private:
    void drainErr()
    {
        char buffer[4096];
        pollfd ready{m_err, POLLIN, 0};
        while (m_err >= 0 && ::poll(&ready, 1, 0) > 0) {
            const ssize_t n = ::read(m_err, buffer, sizeof buffer);
            if (n <= 0)
                break;
            m_errText.append(buffer, std::size_t(n));
        }
    }

    pid_t m_pid = -1;
    int m_err = -1;
    int m_out = -1;
    int m_port = 0;
    bool m_reaped = false;
    std::string m_errText;
};

// Clients that hold connections the way a careless or hostile one would,
// and many pages at once: `silent` connections that send nothing (from
// 127.0.0.2), `trickling` ones that send a header line every second and
// never end their request (127.0.0.3), and `streams` readers of GET /events
// spread over 127.0.0.10 and up, 50 to an address. A thread of its own
// reads the streams and trickles until the crowd is destroyed.
class Crowd
{
public:
    Crowd(int port, int silent, int trickling, int streams) : m_events(std::size_t(streams))
    {
        for (int i = 0; i < silent; ++i)
            m_silent.push_back(connectTo(port, "127.0.0.2"));
        for (int i = 0; i < trickling; ++i) {
            const int fd = connectTo(port, "127.0.0.3");
            sendAll(fd, "GET /state HTTP/1.1\r\n");
            m_trickling.push_back(fd);
        }
        for (int i = 0; i < streams; ++i) {
            const std::string from = "127.0.0." + std::to_string(10 + i / 50);
            const int fd = connectTo(port, from.c_str());
            sendAll(fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
            m_streams.push_back(fd);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Crowd()
    {
        m_stop = true;
        m_thread.join();
        for (const std::vector<int> *fds : {&m_silent, &m_trickling, &m_streams})
            for (int fd : *fds)
                if (fd >= 0)
                    ::close(fd);
    }
    Crowd(const Crowd &) = delete;
    Crowd &operator=(const Crowd &) = delete;

    // Connections that could not be made.
    int refused() const
    {
        int count = 0;
        for (const std::vector<int> *fds : {&m_silent, &m_trickling, &m_streams})
            for (int fd : *fds)
                count += fd < 0;
        return count;
    }
    // Streams that have had at least `events` events so far.
    int streamsWith(int events) const
    {
        int count = 0;
        for (const std::atomic<int> &got : m_events)
            count += got.load() >= events;
        return count;
    }
    // Silent connections the server has closed.
    int silentClosed() const { return m_silentClosed.load(); }

private:
    void run()
    {
        auto lastTrickle = std::chrono::steady_clock::now();
        std::vector<pollfd> ready;
        std::vector<std::string> tails(m_streams.size());
        std::vector<bool> closed(m_silent.size(), false);
        char buffer[65536];
        while (!m_stop) {
            ready.clear();
            for (int fd : m_streams)
                ready.push_back({fd, POLLIN, 0});
            for (int fd : m_silent)
                ready.push_back({fd, POLLIN, 0});
            ::poll(ready.data(), ready.size(), 50);
            for (std::size_t i = 0; i < m_streams.size(); ++i) {
                if (!(ready[i].revents & (POLLIN | POLLHUP)))
                    continue;
                const ssize_t n = ::recv(m_streams[i], buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0)
                    continue;
                // An event ends in a blank line; one may straddle two reads.
                std::string &tail = tails[i];
                tail.append(buffer, std::size_t(n));
                for (std::size_t at; (at = tail.find("\n\n")) != std::string::npos;) {
                    ++m_events[i];
                    tail.erase(0, at + 2);
                }
            }
            for (std::size_t i = 0; i < m_silent.size(); ++i) {
                if (closed[i] || !(ready[m_streams.size() + i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (::recv(m_silent[i], buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                    closed[i] = true;
                    ++m_silentClosed;
                }
            }
            if (std::chrono::steady_clock::now() - lastTrickle > std::chrono::seconds(1)) {
                lastTrickle = std::chrono::steady_clock::now();
                for (int fd : m_trickling)
                    ::send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
    }

    std::vector<std::atomic<int>> m_events; // per stream
    std::vector<int> m_silent, m_trickling, m_streams;
    std::atomic<int> m_silentClosed{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The most memory a process has had resident, in bytes (0 if unknown).
inline std::size_t peakResident(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::size_t(std::atoll(line.c_str() + 6)) * 1024;
    return 0;
}

} // namespace panel

#endif
