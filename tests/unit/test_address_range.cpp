// The ranges of addresses a page's transfer may not reach, IPv4 and IPv6,
// with the IPv6 forms that carry an IPv4 address.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "platform/AddressRange.h"

using zk::net::AddressRange;

namespace {

// The range of a numeric address, as a connection attempt would hand it over.
AddressRange Range(const std::string& text) {
    sockaddr_in6 in6{};
    if (inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        return zk::net::RangeOf(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
    }
    sockaddr_in in{};
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &in.sin_addr), 1) << text;
    in.sin_family = AF_INET;
    return zk::net::RangeOf(reinterpret_cast<const sockaddr*>(&in), sizeof in);
}

TEST(AddressRange, EveryRangeAndItsEdges) {
    const struct {
        const char* address;
        AddressRange range;
    } cases[] = {
        {"127.0.0.1", AddressRange::Loopback},
        {"127.255.255.254", AddressRange::Loopback},
        {"0.0.0.0", AddressRange::Unspecified},
        {"0.1.2.3", AddressRange::Unspecified},
        {"10.0.0.0", AddressRange::Private},
        {"10.255.255.255", AddressRange::Private},
        {"11.0.0.1", AddressRange::Public},
        {"9.255.255.255", AddressRange::Public},
        {"172.16.0.1", AddressRange::Private},
        {"172.31.255.255", AddressRange::Private},
        {"172.15.255.255", AddressRange::Public},
        {"172.32.0.0", AddressRange::Public},
        {"192.168.1.1", AddressRange::Private},
        {"192.169.0.1", AddressRange::Public},
        {"100.64.0.1", AddressRange::Private},  // shared address space (carrier-grade NAT)
        {"100.127.255.255", AddressRange::Private},
        {"100.63.255.255", AddressRange::Public},
        {"100.128.0.0", AddressRange::Public},
        {"169.254.169.254", AddressRange::LinkLocal},  // where clouds serve their metadata
        {"169.253.0.1", AddressRange::Public},
        {"224.0.0.1", AddressRange::Multicast},
        {"239.255.255.250", AddressRange::Multicast},
        {"255.255.255.255", AddressRange::Multicast},  // broadcast
        {"240.0.0.1", AddressRange::Multicast},        // reserved
        {"223.255.255.255", AddressRange::Public},
        {"8.8.8.8", AddressRange::Public},
        {"192.0.2.1", AddressRange::Public},
        {"::1", AddressRange::Loopback},
        {"::", AddressRange::Unspecified},
        {"::ffff:127.0.0.1", AddressRange::Loopback},  // IPv4-mapped
        {"::ffff:10.1.2.3", AddressRange::Private},
        {"::ffff:169.254.0.1", AddressRange::LinkLocal},
        {"::ffff:0.0.0.0", AddressRange::Unspecified},
        {"::ffff:8.8.8.8", AddressRange::Public},
        {"::127.0.0.1", AddressRange::Loopback},  // IPv4-compatible
        {"::192.168.0.1", AddressRange::Private},
        {"::8.8.8.8", AddressRange::Public},
        {"fc00::1", AddressRange::Private},
        {"fdff:ffff::1", AddressRange::Private},
        {"fe80::1", AddressRange::LinkLocal},
        {"febf::1", AddressRange::LinkLocal},
        {"fec0::1", AddressRange::Private},  // site-local
        {"ff02::1", AddressRange::Multicast},
        {"fbff::1", AddressRange::Public},
        {"2001:db8::1", AddressRange::Public},
        {"2a00:1450::1", AddressRange::Public},
        {"::2:0:0:1", AddressRange::Public},  // zeros, but not the IPv4 forms
    };
    for (const auto& c : cases)
        EXPECT_EQ(Range(c.address), c.range) << c.address << " is " << zk::net::RangeName(Range(c.address));
}

TEST(AddressRange, WhatIsNoIpAddressIsNotPublic) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    EXPECT_EQ(zk::net::RangeOf(reinterpret_cast<const sockaddr*>(&in), sizeof in - 1), AddressRange::Unknown);
    sockaddr local{};
    local.sa_family = AF_UNIX;
    EXPECT_EQ(zk::net::RangeOf(&local, sizeof local), AddressRange::Unknown);
    EXPECT_EQ(zk::net::RangeOf(nullptr, 0), AddressRange::Unknown);
}

}  // namespace
