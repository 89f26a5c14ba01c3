// A fake of the kernel's network interface list. socket() is interposed in
// fake_network.cpp: while a test has enabled the fake, an AF_INET datagram
// socket is a descriptor of the fake, which answers SIOCGIFCONF, SIOCGIFFLAGS
// and SIOCGIFHWADDR from a scripted interface list. Every other socket, and
// every socket while the fake is disabled, comes from the C library.
//
// connect() is interposed too: while a host is redirected, every connection
// to it (TCP or UDP, any port) goes to 127.0.0.1 instead, so that a client
// with a fixed address (the drone's) meets a fake server on loopback and
// nothing leaves the machine.
#ifndef KESTRIX_SIM_FAKE_NETWORK_H
#define KESTRIX_SIM_FAKE_NETWORK_H

#include <array>
#include <map>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <netinet/in.h>

namespace kxsim {

struct FakeInterface
{
    std::string name;           // copied into ifr_name as is (up to 16 bytes)
    short flags = 0;            // IFF_UP, IFF_LOOPBACK, ...
    std::array<std::uint8_t, 6> hardwareAddress{};
    bool flagsFail = false;     // SIOCGIFFLAGS fails with ENODEV
    bool hardwareAddressFails = false; // SIOCGIFHWADDR fails with EADDRNOTAVAIL
};

class FakeNetwork
{
public:
    static FakeNetwork &instance();

    // Disabled, no interfaces, no faults, counters zero.
    void reset();
    void setEnabled(bool enabled);
    void setInterfaces(const std::vector<FakeInterface> &interfaces);

    // Faults: socket() fails with EMFILE; SIOCGIFCONF fails with EINVAL;
    // SIOCGIFCONF claims `length` bytes used (-1: the true length) while
    // writing no more records than fit the caller's buffer.
    void setSocketFails(bool fails);
    void setListFails(bool fails);
    void setReportedListLength(int length);

    // Connections to `host` (dotted decimal) go to 127.0.0.1: a port listed
    // in `ports` to the loopback port it maps to, any other to the same
    // port. reset() ends the redirection.
    void redirectHost(const std::string &host, const std::map<std::uint16_t, std::uint16_t> &ports);

    int socketsOpened() const;
    int socketsOpen() const;

    // Called by the interposers; not for tests.
    bool enabled() const;
    int openSocket();
    int ioctl(unsigned long request, void *argument);
    void closed();
    // Rewrites `address` in place when its host is redirected.
    void redirect(struct sockaddr_in &address) const;

private:
    FakeNetwork() = default;

    mutable std::mutex m_lock;
    bool m_enabled = false;
    std::vector<FakeInterface> m_interfaces;
    bool m_socketFails = false;
    bool m_listFails = false;
    int m_reportedLength = -1;
    int m_socketsOpened = 0;
    int m_socketsOpen = 0;
    std::uint32_t m_redirectedHost = 0; // network order; 0: none
    std::map<std::uint16_t, std::uint16_t> m_redirectedPorts;
};

} // namespace kxsim

#endif
