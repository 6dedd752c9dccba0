// Which range a socket address falls in, for the transfers that may reach
// only public services: loopback, private, link-local, unspecified and
// multicast or broadcast addresses are this machine's or its networks', and
// a page has no business there. IPv6 forms that carry an IPv4 address
// (IPv4-mapped ::ffff:a.b.c.d, IPv4-compatible ::a.b.c.d) are judged by the
// IPv4 address they carry.
#pragma once
#include <string>

#include <sys/socket.h>

namespace zk::net {

enum class AddressRange {
    Public,
    Loopback,     // 127.0.0.0/8, ::1
    Private,      // 10/8, 172.16/12, 192.168/16, 100.64/10 (shared, CGNAT), fc00::/7, fec0::/10
    LinkLocal,    // 169.254/16, fe80::/10
    Unspecified,  // 0.0.0.0/8, ::
    Multicast,    // 224/4, 240/4 (reserved, with 255.255.255.255 broadcast), ff00::/8
    Unknown,      // not an IPv4 or IPv6 address
};

AddressRange RangeOf(const sockaddr* address, socklen_t length);

// "loopback", "private"...: for the log.
const char* RangeName(AddressRange range);

// The numeric text of the address ("10.0.0.1", "::1"), for the log.
std::string AddressText(const sockaddr* address, socklen_t length);

}  // namespace zk::net
