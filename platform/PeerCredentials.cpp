#include "platform/PeerCredentials.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace zk::net {
namespace {

struct Ends {
    sockaddr_storage local{}, peer{};
};

bool GetEnds(int fd, Ends& e) {
    socklen_t ll = sizeof e.local, pl = sizeof e.peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&e.local), &ll) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&e.peer), &pl) != 0) return false;
    return e.local.ss_family == e.peer.ss_family && (e.local.ss_family == AF_INET || e.local.ss_family == AF_INET6);
}

// Address bytes and port (network order) of one end.
void Split(const sockaddr_storage& a, uint32_t addr[4], uint16_t* port) {
    if (a.ss_family == AF_INET) {
        auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
        addr[0] = v4.sin_addr.s_addr;
        *port = v4.sin_port;
    } else {
        auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        memcpy(addr, &v6.sin6_addr, 16);
        *port = v6.sin6_port;
    }
}

// One diagnostics socket per thread, kept open: a lookup must not need a new
// descriptor, or a process short of descriptors would refuse its own user.
class DiagnosticsSocket {
public:
    ~DiagnosticsSocket() { Drop(); }
    int Get() {
        if (fd_ < 0) fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        return fd_;
    }
    void Drop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};
thread_local DiagnosticsSocket t_diagnostics;

// The peer's socket seen from its side: source = the peer, destination = us.
std::optional<uint32_t> ByDiagnostics(const Ends& e) {
    int nl = t_diagnostics.Get();
    if (nl < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    inet_diag_req_v2& r = message.request;
    r.sdiag_family = static_cast<uint8_t>(e.local.ss_family);
    r.sdiag_protocol = IPPROTO_TCP;
    r.idiag_states = ~0u;
    Split(e.peer, r.id.idiag_src, &r.id.idiag_sport);
    Split(e.local, r.id.idiag_dst, &r.id.idiag_dport);
    r.id.idiag_cookie[0] = r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::optional<uint32_t> owner;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(nl, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof message)) {
        alignas(nlmsghdr) char buf[8192];
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); n > 0 && NLMSG_OK(h, static_cast<unsigned>(n));
             h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
                owner = reinterpret_cast<inet_diag_msg*>(NLMSG_DATA(h))->idiag_uid;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) break;
        }
    } else {
        t_diagnostics.Drop();  // opened anew at the next lookup
    }
    return owner;
}

// The same through the /proc tables: the row whose local end is the peer
// and whose remote end is us.
std::optional<uint32_t> ByProcTable(const Ends& e) {
    const bool v4 = e.local.ss_family == AF_INET;
    uint32_t pa[4] = {}, la[4] = {};
    uint16_t pp = 0, lp = 0;
    Split(e.peer, pa, &pp);
    Split(e.local, la, &lp);
    auto text = [&](const uint32_t a[4], uint16_t port) {
        char out[64];
        if (v4) snprintf(out, sizeof out, "%08X:%04X", a[0], ntohs(port));
        else snprintf(out, sizeof out, "%08X%08X%08X%08X:%04X", a[0], a[1], a[2], a[3], ntohs(port));
        return std::string(out);
    };
    const std::string want = text(pa, pp) + " " + text(la, lp);
    FILE* f = fopen(v4 ? "/proc/net/tcp" : "/proc/net/tcp6", "re");
    if (!f) return std::nullopt;
    std::optional<uint32_t> owner;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        char local[64], remote[64];
        unsigned state, uid;
        if (sscanf(line, " %*u: %63s %63s %x %*s %*s %*s %u", local, remote, &state, &uid) == 4 &&
            std::string(local) + " " + remote == want) {
            owner = uid;
            break;
        }
    }
    fclose(f);
    return owner;
}

}  // namespace

std::optional<uint32_t> LocalPeerOwner(int fd) {
    Ends e;
    if (!GetEnds(fd, e)) return std::nullopt;
    if (auto owner = ByDiagnostics(e)) return owner;
    return ByProcTable(e);
}

bool PeerIsLoopback(int fd) {
    Ends e;
    if (!GetEnds(fd, e)) return false;
    if (e.peer.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<sockaddr_in&>(e.peer).sin_addr.s_addr) >> 24) == 127;
    const in6_addr& a = reinterpret_cast<sockaddr_in6&>(e.peer).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

uint32_t OwnUser() { return static_cast<uint32_t>(geteuid()); }

}  // namespace zk::net
