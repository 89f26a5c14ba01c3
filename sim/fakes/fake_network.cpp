#include "fakes/fake_network.h"

#include "fakes/fake_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace kxsim {

namespace {

class SocketFile : public FakeDevice
{
public:
    // Sockets are adopted, never opened by path.
    bool claims(const char *) const override { return false; }
    int open(const char *, int) override
    {
        errno = ENOENT;
        return -1;
    }
    int ioctl(int, unsigned long request, void *argument) override
    {
        return FakeNetwork::instance().ioctl(request, argument);
    }
    void closed(int) override { FakeNetwork::instance().closed(); }
};

SocketFile &socketFile()
{
    static SocketFile s_file;
    return s_file;
}

const FakeInterface *find(const std::vector<FakeInterface> &interfaces, const char *name)
{
    for (const FakeInterface &candidate : interfaces)
        if (std::strncmp(candidate.name.c_str(), name, IFNAMSIZ) == 0)
            return &candidate;
    return nullptr;
}

} // namespace

FakeNetwork &FakeNetwork::instance()
{
    // Never destroyed, as every fake: a program's exit (a sanitizer's
    // report, say) still opens files after the static destructors ran.
    static FakeNetwork &s_instance = *new FakeNetwork;
    return s_instance;
}

void FakeNetwork::reset()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_enabled = false;
    m_interfaces.clear();
    m_socketFails = false;
    m_listFails = false;
    m_reportedLength = -1;
    m_socketsOpened = 0;
    m_redirectedHost = 0;
    m_redirectedPorts.clear();
}

void FakeNetwork::redirectHost(const std::string &host, const std::map<std::uint16_t, std::uint16_t> &ports)
{
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1)
        std::abort(); // a test that names no host would send to the real one
    std::lock_guard<std::mutex> guard(m_lock);
    m_redirectedHost = address.s_addr;
    m_redirectedPorts = ports;
}

void FakeNetwork::redirect(sockaddr_in &address) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_redirectedHost == 0 || address.sin_addr.s_addr != m_redirectedHost)
        return;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto port = m_redirectedPorts.find(ntohs(address.sin_port));
    if (port != m_redirectedPorts.end())
        address.sin_port = htons(port->second);
}

void FakeNetwork::setEnabled(bool enabled)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_enabled = enabled;
}

void FakeNetwork::setInterfaces(const std::vector<FakeInterface> &interfaces)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_interfaces = interfaces;
}

void FakeNetwork::setSocketFails(bool fails)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_socketFails = fails;
}

void FakeNetwork::setListFails(bool fails)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_listFails = fails;
}

void FakeNetwork::setReportedListLength(int length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_reportedLength = length;
}

int FakeNetwork::socketsOpened() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_socketsOpened;
}

int FakeNetwork::socketsOpen() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_socketsOpen;
}

bool FakeNetwork::enabled() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_enabled;
}

int FakeNetwork::openSocket()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_socketFails) {
        errno = EMFILE;
        return -1;
    }
    const int fd = realOpen("/dev/null", O_RDWR);
    if (fd < 0)
        return fd;
    adopt(fd, &socketFile());
    ++m_socketsOpened;
    ++m_socketsOpen;
    return fd;
}

int FakeNetwork::ioctl(unsigned long request, void *argument)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (argument == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (request == SIOCGIFCONF) {
        if (m_listFails) {
            errno = EINVAL;
            return -1;
        }
        auto *list = static_cast<struct ifconf *>(argument);
        const std::size_t room = list->ifc_len < 0 ? 0 : std::size_t(list->ifc_len) / sizeof(struct ifreq);
        const std::size_t count = std::min(room, m_interfaces.size());
        for (std::size_t i = 0; i < count; ++i) {
            struct ifreq record;
            std::memset(&record, 0, sizeof record);
            const std::string &name = m_interfaces[i].name;
            std::memcpy(record.ifr_name, name.data(), std::min<std::size_t>(name.size(), IFNAMSIZ));
            std::memcpy(list->ifc_buf + i * sizeof record, &record, sizeof record);
        }
        list->ifc_len = m_reportedLength != -1 ? m_reportedLength
                                               : static_cast<int>(count * sizeof(struct ifreq));
        return 0;
    }
    auto *request_ = static_cast<struct ifreq *>(argument);
    if (request == SIOCGIFFLAGS || request == SIOCGIFHWADDR) {
        const FakeInterface *interface = find(m_interfaces, request_->ifr_name);
        if (interface == nullptr) {
            errno = ENODEV;
            return -1;
        }
        if (request == SIOCGIFFLAGS) {
            if (interface->flagsFail) {
                errno = ENODEV;
                return -1;
            }
            request_->ifr_flags = interface->flags;
            return 0;
        }
        if (interface->hardwareAddressFails) {
            errno = EADDRNOTAVAIL;
            return -1;
        }
        std::memset(&request_->ifr_hwaddr, 0, sizeof request_->ifr_hwaddr);
        std::memcpy(request_->ifr_hwaddr.sa_data, interface->hardwareAddress.data(), 6);
        return 0;
    }
    errno = EINVAL;
    return -1;
}

void FakeNetwork::closed()
{
    std::lock_guard<std::mutex> guard(m_lock);
    --m_socketsOpen;
}

} // namespace kxsim

using SocketFn = int (*)(int, int, int);

extern "C" int socket(int domain, int type, int protocol)
{
    kxsim::FakeNetwork &network = kxsim::FakeNetwork::instance();
    if (domain == AF_INET && (type & 0xF) == SOCK_DGRAM && network.enabled())
        return network.openSocket();
    static const SocketFn s_socket = kxsim::nextFunction<SocketFn>("socket");
    return s_socket(domain, type, protocol);
}

using ConnectFn = int (*)(int, const struct sockaddr *, socklen_t);

extern "C" int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    static const ConnectFn s_connect = kxsim::nextFunction<ConnectFn>("connect");
    if (address == nullptr || address->sa_family != AF_INET || length < sizeof(sockaddr_in))
        return s_connect(fd, address, length);
    sockaddr_in to;
    std::memcpy(&to, address, sizeof to);
    kxsim::FakeNetwork::instance().redirect(to);
    return s_connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}
