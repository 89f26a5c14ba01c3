#include "private/ardrone_version_p.h"

#include "private/ardrone_socket_p.h"

#include <cctype>
#include <cstdlib>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Private {
namespace DroneVersion {

namespace {

using DroneSocket::Clock;

// The minimal FTP client that fetching version.txt needs. Every wait ends
// at the one deadline of the whole fetch.
class FtpConnection
{
public:
    FtpConnection(int fd, Clock::time_point deadline)
        : m_fd(fd)
        , m_deadline(deadline)
    {
    }
    ~FtpConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FtpConnection(const FtpConnection &) = delete;
    FtpConnection &operator=(const FtpConnection &) = delete;

    // The code of the next reply, reading past the lines of a multi-line
    // one; -1 on time-out, a broken reply or one beyond the bounds.
    int reply(std::string *lastLine = nullptr)
    {
        std::string line;
        if (!readLine(line) || line.size() < 3)
            return -1;
        const std::string code = line.substr(0, 3);
        if (line.size() > 3 && line[3] == '-') {
            int lines = 1;
            do {
                if (++lines > MaxReplyLines || !readLine(line))
                    return -1;
            } while (!(line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' '));
        }
        if (lastLine != nullptr)
            *lastLine = line;
        for (char c : code)
            if (c < '0' || c > '9')
                return -1;
        return std::atoi(code.c_str());
    }

    bool say(const std::string &text)
    {
        const std::string line = text + "\r\n";
        return DroneSocket::waitFor(m_fd, POLLOUT, m_deadline) &&
               ::send(m_fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    }

    int command(const std::string &text, std::string *lastLine = nullptr)
    {
        return say(text) ? reply(lastLine) : -1;
    }

    // The rest of the stream, up to MaxFileSize bytes.
    bool readAll(std::string &content)
    {
        content.clear();
        for (;;) {
            char chunk[256];
            const ssize_t got = receive(chunk, sizeof chunk);
            if (got < 0)
                return false;
            if (got == 0)
                return true;
            content.append(chunk, static_cast<std::size_t>(got));
            if (content.size() > MaxFileSize)
                return false;
        }
    }

private:
    ssize_t receive(char *buffer, std::size_t size)
    {
        if (!DroneSocket::waitFor(m_fd, POLLIN, m_deadline))
            return -1;
        return ::recv(m_fd, buffer, size, MSG_DONTWAIT);
    }

    bool readLine(std::string &line)
    {
        for (;;) {
            const std::size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                if (end > MaxReplyLineLength)
                    return false;
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            if (m_buffer.size() > MaxReplyLineLength)
                return false;
            char chunk[512];
            const ssize_t got = receive(chunk, sizeof chunk);
            if (got <= 0)
                return false;
            m_buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    int m_fd;
    Clock::time_point m_deadline;
    std::string m_buffer;
};

} // namespace

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

int majorNumber(const std::string &text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    const std::size_t first = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
        ++i;
    // No version has a major number this long; atoi would overflow on it.
    if (i == first || i - first > 6)
        return -1;
    return std::atoi(text.substr(first, i - first).c_str());
}

bool fetchFile(const in_addr &address, std::uint16_t port, const char *name, std::string &content)
{
    const Clock::time_point deadline = Clock::now() + FetchLimit;
    const int controlFd = DroneSocket::tcpTo(address, port, deadline);
    if (controlFd < 0)
        return false;
    FtpConnection control(controlFd, deadline);
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
    const int dataFd = DroneSocket::tcpTo(address, static_cast<std::uint16_t>(dataPort), deadline);
    if (dataFd < 0)
        return false;
    FtpConnection data(dataFd, deadline);
    code = control.command(std::string("RETR ") + name);
    if (code != 150 && code != 125)
        return false;
    if (!data.readAll(content) || control.reply() != 226)
        return false;
    // Its answer would tell nothing: the file is in.
    control.say("QUIT");
    return true;
}

} // namespace DroneVersion
} // namespace Private
