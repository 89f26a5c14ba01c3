#include "private/ardrone_socket_p.h"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Private {
namespace DroneSocket {

namespace {

// Connects `fd` to the drone's port; closes it and gives -1 on failure.
int connectOrClose(int fd, const in_addr &address, std::uint16_t port, Clock::time_point deadline)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0)
            return fd;
    }
    ::close(fd);
    return -1;
}

} // namespace

bool parseAddress(const char *address, in_addr &result)
{
    return address != nullptr && inet_pton(AF_INET, address, &result) == 1;
}

int udpTo(const in_addr &address, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    return connectOrClose(fd, address, port, Clock::now());
}

int tcpTo(const in_addr &address, std::uint16_t port, Clock::time_point deadline)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    return connectOrClose(fd, address, port, deadline);
}

bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd poller{fd, events, 0};
        // Rounded up so that the last poll does not spin on a zero wait.
        const int result = ::poll(&poller, 1, static_cast<int>(std::max<long long>(left + 1, 0)));
        if (result > 0)
            return (poller.revents & (events | POLLHUP | POLLERR)) != 0;
        if (result == 0 && Clock::now() >= deadline)
            return false;
        if (result < 0 && errno != EINTR)
            return false;
    }
}

} // namespace DroneSocket
} // namespace Private
