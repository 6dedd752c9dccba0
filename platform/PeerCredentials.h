// Who is at the other end of an accepted TCP connection when the peer is a
// process on this machine: the owner of the peer's socket, found through the
// kernel's socket diagnostics (else /proc/net/tcp and tcp6).
#pragma once
#include <cstdint>
#include <optional>

namespace zk::net {

// The user id owning the peer socket of connection fd, or nothing when no
// local socket is the peer (a remote client) or the lookup is impossible.
std::optional<uint32_t> LocalPeerOwner(int fd);

// True when the peer address of fd is a loopback address.
bool PeerIsLoopback(int fd);

// The effective user id of this process.
uint32_t OwnUser();

}  // namespace zk::net
