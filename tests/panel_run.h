// kestrix-sim --panel from the outside, for the panel's tests and bench: the
// launcher started on a program, its panel's port, and a plain HTTP/1.1
// client over a socket (so requests can carry any Host header, or none).
#ifndef KESTRIX_TESTS_PANEL_RUN_H
#define KESTRIX_TESTS_PANEL_RUN_H

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
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

inline int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

// One request on a connection of its own. `host` empty: "127.0.0.1:PORT";
// "-": no Host header at all.
inline Reply request(int port, const std::string &method, const std::string &path, const std::string &body = "",
                     std::string host = "")
{
    Reply reply;
    const int fd = connectTo(port);
    if (fd < 0)
        return reply;
    if (host.empty())
        host = "127.0.0.1:" + std::to_string(port);
    std::string text = method + " " + path + " HTTP/1.1\r\n";
    if (host != "-")
        text += "Host: " + host + "\r\n";
    text += "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
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

inline nlohmann::json state(int port)
{
    const Reply reply = request(port, "GET", "/state");
    return reply.status == 200 ? nlohmann::json::parse(reply.body, nullptr, false) : nlohmann::json();
}

// GET /events, read event by event.
class Events
{
public:
    explicit Events(int port) : m_fd(connectTo(port))
    {
        if (m_fd >= 0)
            sendAll(m_fd, "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n");
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
            m_buffer.append(buffer, std::size_t(n));
        }
    }

private:
    int m_fd;
    std::string m_buffer;
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

} // namespace panel

#endif
