#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace zk::net {

long WinSockCode(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE: case ENFILE: return 10024;
        case EWOULDBLOCK: return 10035;
        case ENOTSOCK: return 10038;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENOBUFS: case ENOMEM: return 10055;
        case EISCONN: return 10056;
        default: return 10000 + err;  // outside the WinSock table, still distinct
    }
}

int CreateTcpSocket(long* error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) *error = WinSockCode(errno);
    return fd < 0 ? kInvalidSocket : fd;
}

bool ResolveHost(const std::string& host, uint32_t* address, long* error) {
    if (host == "*") {
        *address = htonl(INADDR_ANY);
        return true;
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
        *address = a.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        // WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA
        *error = rc == EAI_AGAIN ? 11002 : rc == EAI_FAIL ? 11003 : rc == EAI_NODATA ? 11004 : 11001;
        return false;
    }
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool BindAndListen(int fd, uint32_t address, uint16_t port, long* error) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = WinSockCode(errno);
        return false;
    }
    int accepting = 0;
    socklen_t len = sizeof accepting;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0) {
        *error = WinSockCode(errno);
        return false;
    }
    if (accepting) return false;  // someone else's listening socket: leave *error as it is
    if (listen(fd, INT_MAX) != 0) {  // the kernel caps the backlog at somaxconn
        *error = WinSockCode(errno);
        return false;
    }
    return true;
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

void CloseSocket(int fd) {
    if (fd >= 0) close(fd);
}

void SendWithoutDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool PeerGone(int fd) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    if (n == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

}  // namespace zk::net
