#include "private/network_interface_p.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Private {
namespace NetworkInterface {

namespace {

constexpr std::size_t ListBufferSize = 1024;

// Closes the socket on every way out.
struct Socket
{
    int fd;
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

char *macAddress(const char *)
{
    static const char hexLookup[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    static const char exampleMacAddress[] = "01:23:45:67:89:ab";
    constexpr std::size_t textLength = sizeof exampleMacAddress - 1;

    const Socket sock{::socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.fd < 0)
        return nullptr;

    alignas(struct ifreq) char buffer[ListBufferSize];
    struct ifconf list;
    std::memset(&list, 0, sizeof list);
    list.ifc_len = sizeof buffer;
    list.ifc_buf = buffer;
    if (::ioctl(sock.fd, SIOCGIFCONF, &list) == -1)
        return nullptr;

    // A length beyond the buffer (or below zero) is not believed: only the
    // records that fit in the buffer are read.
    std::size_t used = list.ifc_len < 0 ? 0 : static_cast<std::size_t>(list.ifc_len);
    if (used > sizeof buffer)
        used = sizeof buffer;
    const std::size_t records = used / sizeof(struct ifreq);

    struct ifreq request;
    bool found = false;
    for (std::size_t i = 0; i < records && !found; ++i) {
        struct ifreq record;
        std::memcpy(&record, buffer + i * sizeof(struct ifreq), sizeof record);
        // The kernel's names end within IFNAMSIZ; a name that does not is cut
        // there rather than read past.
        std::printf("ifr_name: %.*s\n", int(IFNAMSIZ), record.ifr_name);

        std::memset(&request, 0, sizeof request);
        std::memcpy(request.ifr_name, record.ifr_name, IFNAMSIZ);
        request.ifr_name[IFNAMSIZ - 1] = '\0';
        if (::ioctl(sock.fd, SIOCGIFFLAGS, &request) != 0)
            continue;
        if (request.ifr_flags & IFF_LOOPBACK)
            continue;
        if (::ioctl(sock.fd, SIOCGIFHWADDR, &request) == 0)
            found = true;
    }
    if (!found)
        return nullptr;

    char *text = new char[textLength + 1];
    const unsigned char *address = reinterpret_cast<const unsigned char *>(request.ifr_hwaddr.sa_data);
    for (std::size_t k = 0; k < 6; ++k) {
        text[3 * k] = hexLookup[address[k] >> 4];
        text[3 * k + 1] = hexLookup[address[k] & 0x0F];
        if (k < 5)
            text[3 * k + 2] = ':';
    }
    text[textLength] = '\0';
    return text;
}

} // namespace NetworkInterface
} // namespace Private
