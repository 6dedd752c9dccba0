// TCP listening sockets of the front end. Errors are given as the WinSock
// codes that the start-up messages print (address in use = 10048).
#pragma once
#include <cstdint>
#include <string>

namespace zk::net {

constexpr int kInvalidSocket = -1;

// The WinSock code of an errno value (0 stays 0).
long WinSockCode(int err);

// A new IPv4 TCP socket, close-on-exec; kInvalidSocket with *error set.
int CreateTcpSocket(long* error);

// Resolves Host: "*" = every address, a dotted address as it is, otherwise
// the first IPv4 address of the name. false with *error set.
bool ResolveHost(const std::string& host, uint32_t* addressNetworkOrder, long* error);

// Binds (address reuse on, so a restart is not refused while old
// connections linger), makes sure the socket is not listening yet and
// listens with the largest backlog. false with *error set.
bool BindAndListen(int fd, uint32_t addressNetworkOrder, uint16_t port, long* error);

// The port a bound socket got (for port 0 in tests).
uint16_t LocalPort(int fd);

void CloseSocket(int fd);

// Sends each answer's last piece at once instead of waiting for the peer's
// acknowledgement of the previous one (which a peer may delay by 40 ms).
void SendWithoutDelay(int fd);

// For a connection whose request is being served: true when the peer has
// closed or reset it; false when it is open (pending bytes are left unread).
bool PeerGone(int fd);

}  // namespace zk::net
