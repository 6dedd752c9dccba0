#include "platform/AddressRange.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

namespace zk::net {
namespace {

struct Block4 {
    uint32_t network;
    int prefix;
    AddressRange range;
};

constexpr Block4 kBlocks4[] = {
    {0x00000000, 8, AddressRange::Unspecified},  // "this network": 0.0.0.0 connects to this host
    {0x0A000000, 8, AddressRange::Private},
    {0x64400000, 10, AddressRange::Private},     // shared address space (carrier-grade NAT)
    {0x7F000000, 8, AddressRange::Loopback},
    {0xA9FE0000, 16, AddressRange::LinkLocal},
    {0xAC100000, 12, AddressRange::Private},
    {0xC0A80000, 16, AddressRange::Private},
    {0xE0000000, 4, AddressRange::Multicast},
    {0xF0000000, 4, AddressRange::Multicast},    // reserved, with the limited broadcast address
};

// host: the address in host byte order.
AddressRange RangeOf4(uint32_t host) {
    for (const Block4& b : kBlocks4) {
        const uint32_t mask = ~uint32_t{0} << (32 - b.prefix);
        if ((host & mask) == b.network) return b.range;
    }
    return AddressRange::Public;
}

AddressRange RangeOf6(const in6_addr& a) {
    const uint8_t* b = a.s6_addr;
    static constexpr uint8_t kZero[16] = {};
    const bool first80Zero = std::memcmp(b, kZero, 10) == 0;
    if (first80Zero && b[10] == 0xFF && b[11] == 0xFF) {  // IPv4-mapped
        uint32_t v4;
        std::memcpy(&v4, b + 12, 4);
        return RangeOf4(ntohl(v4));
    }
    if (first80Zero && b[10] == 0 && b[11] == 0) {
        if (std::memcmp(b, kZero, 16) == 0) return AddressRange::Unspecified;
        if (std::memcmp(b, kZero, 15) == 0 && b[15] == 1) return AddressRange::Loopback;
        uint32_t v4;  // IPv4-compatible (deprecated, still routed by some stacks)
        std::memcpy(&v4, b + 12, 4);
        return RangeOf4(ntohl(v4));
    }
    if (b[0] == 0xFF) return AddressRange::Multicast;
    if ((b[0] & 0xFE) == 0xFC) return AddressRange::Private;               // fc00::/7 unique local
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return AddressRange::LinkLocal;  // fe80::/10
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0xC0) return AddressRange::Private;    // fec0::/10 site-local
    return AddressRange::Public;
}

}  // namespace

AddressRange RangeOf(const sockaddr* address, socklen_t length) {
    if (!address) return AddressRange::Unknown;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        return RangeOf4(ntohl(in.sin_addr.s_addr));
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address, sizeof in6);
        return RangeOf6(in6.sin6_addr);
    }
    return AddressRange::Unknown;
}

const char* RangeName(AddressRange range) {
    switch (range) {
        case AddressRange::Public: return "public";
        case AddressRange::Loopback: return "loopback";
        case AddressRange::Private: return "private";
        case AddressRange::LinkLocal: return "link-local";
        case AddressRange::Unspecified: return "unspecified";
        case AddressRange::Multicast: return "multicast or broadcast";
        case AddressRange::Unknown: break;
    }
    return "unknown";
}

std::string AddressText(const sockaddr* address, socklen_t length) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address && address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, address, sizeof in);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    } else if (address && address->sa_family == AF_INET6 &&
               length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    }
    return text[0] ? text : "?";
}

}  // namespace zk::net
