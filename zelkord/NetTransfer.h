// The one request-and-answer exchange of the network operations (timestamp,
// OCSP and CMP): a POST through platform/HttpTransfer (libcurl), addressed
// by the contract's server arguments.
//
// Server string: the service's address (a URI, or a host served at "/" on
// the port argument; zk::net::ParseServerAddress), optionally followed by
// ",proxy=HOST[:PORT]" and then ",user=USER" and ",pass=PASSWORD". Port: the
// service's port when its address names none (0: the scheme's). Time-out:
// seconds for the whole exchange, 1 to kMaxTimeoutSeconds.
//
// The calling thread's rule (ZKLNET_SetRule) binds the exchange: with
// ZK_NET_PUBLIC_ONLY only public addresses are connected to; with
// ZK_NET_PLAIN_ERRORS every failure of the exchange answers 25 alone, so that
// a page cannot tell a closed port from a refused, slow or silent one.
#pragma once
#include <cstdint>
#include <string>

#include "platform/HttpTransfer.h"
#include "zelkord/Ossl.h"

namespace zkd {

constexpr int32_t kMaxTimeoutSeconds = 120;
// The largest answer taken from a service.
constexpr uint64_t kMaxServiceAnswer = 10ull << 20;

// The transfer the arguments describe, without its body: 0, or 56 with the
// reason as last error (no address, a malformed address or proxy, a port or
// time-out out of range).
int PrepareTransfer(const char* server, int32_t port, int32_t timeout, zk::net::TransferRequest& out);

// POSTs body with its content type and takes the answer (a 2xx status, at
// most kMaxServiceAnswer bytes) into answer. 0; 25 when the service cannot
// be reached or does not answer in time (*socketError: the failing socket
// call's errno, ETIMEDOUT for a time-out, where known); 26 when it answers
// with another status, an empty body or more than the bound; 56 as
// PrepareTransfer. The reason is the last error. socketError may be null.
// Under ZK_NET_PLAIN_ERRORS every failure but PrepareTransfer's is 25 without
// a reason or socket error (the reason goes to the log).
int PostToService(const char* server, int32_t port, int32_t timeout, const char* contentType, const Bytes& body,
                  Bytes& answer, int32_t* socketError);

}  // namespace zkd
