#ifndef KESTRIX_PRIVATE_ARDRONE_VERSION_P_H
#define KESTRIX_PRIVATE_ARDRONE_VERSION_P_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <netinet/in.h>

namespace Private {
namespace DroneVersion {

// The whole fetch, from connecting to the last reply, ends within this: a
// server that trickles its replies cannot hold the caller longer.
constexpr std::chrono::milliseconds FetchLimit{3000};
// Bounds on what the server may send: far beyond any sane reply, far below
// anything that costs memory or time.
constexpr std::size_t MaxReplyLineLength = 512;
constexpr int MaxReplyLines = 64;
constexpr std::size_t MaxFileSize = 4096;

// Reads the file `name` from the anonymous FTP service at address:port into
// `content`, within FetchLimit; false on any failure.
bool fetchFile(const in_addr &address, std::uint16_t port, const char *name, std::string &content);

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)" reply; -1
// when the reply has no such list.
int passivePort(const std::string &line);

// The major number that version.txt starts with ("2.4.8" gives 2); -1 when
// it starts with no number or one of more than six digits (leading white
// space is skipped).
int majorNumber(const std::string &text);

} // namespace DroneVersion
} // namespace Private

#endif
