#ifndef KESTRIX_PRIVATE_ARDRONE_SOCKET_P_H
#define KESTRIX_PRIVATE_ARDRONE_SOCKET_P_H

#include <chrono>
#include <cstdint>

#include <netinet/in.h>

namespace Private {
namespace DroneSocket {

using Clock = std::chrono::steady_clock;

// A dotted-decimal IPv4 address; false for null or anything else.
bool parseAddress(const char *address, in_addr &result);

// A UDP socket connected to the drone's `port`; -1 on failure.
int udpTo(const in_addr &address, std::uint16_t port);

// A non-blocking TCP connection to the drone's `port`, established before
// `deadline`; -1 on failure or time-out.
int tcpTo(const in_addr &address, std::uint16_t port, Clock::time_point deadline);

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline);

} // namespace DroneSocket
} // namespace Private

#endif
