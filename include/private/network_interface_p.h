#ifndef KESTRIX_PRIVATE_NETWORK_INTERFACE_P_H
#define KESTRIX_PRIVATE_NETWORK_INTERFACE_P_H

namespace Private {
namespace NetworkInterface {

// The hardware address of the first interface that is not a loopback
// interface and answers SIOCGIFHWADDR, as "01:23:45:67:89:ab" (lower case),
// in a new char[18] that the caller frees with delete[]. Null when the
// socket or SIOCGIFCONF fails or no interface qualifies. Prints
// "ifr_name: <name>" for every interface it looks at, up to the chosen one.
// The argument is not used; null is fine.
char *macAddress(const char *unused);

} // namespace NetworkInterface
} // namespace Private

#endif
