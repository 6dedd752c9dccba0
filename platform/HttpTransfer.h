// HTTP and HTTPS transfers over libcurl, loaded at run time ("libcurl.so.4"):
// the service starts and serves pages without it; a transfer then fails with
// a text that says so. Used by the host (update downloads, certificates fetched
// by address) and by the provider library (timestamp, OCSP and CMP requests),
// so it holds no state of either: each call brings everything it needs.
//
// Every transfer is bounded: connect and total time, response size. Only
// http and https are spoken; redirects are not followed (a 3xx comes back as
// its status); an https server's certificate chain and host name are always
// verified, against caFile when given, else the system's store.
//
// A transfer for a page may be bound to public addresses (publicOnly): every
// address a connection is about to be opened to (the service's, or the
// proxy's when one is named), after the name is resolved and on every
// attempt, is checked before the socket exists, so that a name which resolves
// to a public address once and to a loopback one the next time gains nothing.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SecureWipe.h"

namespace zk::net {

struct Proxy {
    std::string host;  // empty: no proxy
    int port = 0;      // 0: the proxy scheme's default
    std::string user;  // empty: no proxy authentication
    SecretString password;
};

struct TransferRequest {
    std::string url;  // http:// or https:// only
    // POST when set: the body with its content type; GET otherwise.
    bool post = false;
    std::vector<uint8_t> body;
    std::string contentType;
    std::string caFile;  // https: PEM file of the trusted CAs; empty: the system's store
    Proxy proxy;
    // Without a proxy above: false ignores http_proxy and the like, true lets
    // the environment name one.
    bool environmentProxy = false;
    // Connect only to public addresses (platform/AddressRange): the others
    // end the transfer as Refused without a connection being tried.
    bool publicOnly = false;
    long connectTimeoutSeconds = 10;
    long totalTimeoutSeconds = 30;
    uint64_t maxResponseBytes = 10ull << 20;
    // Polled during the transfer (about once a second, and on every received
    // block): when it becomes true the transfer ends as Cancelled.
    const std::atomic<bool>* cancel = nullptr;
};

enum class TransferStatus {
    Ok,          // a 2xx answer, its body in full
    HttpStatus,  // the server answered with another status (httpStatus; body kept within the bound)
    Failed,      // no answer: name, connection, TLS, time-out... (curlCode, socketError)
    TooLarge,    // the answer outgrew maxResponseBytes
    Cancelled,   // the cancel flag was set
    Refused,     // the request itself was refused (address not http/https, reserved host name,
                 // with publicOnly an address that is not public)
    NotLoaded,   // libcurl could not be loaded or initialised
};

struct TransferResult {
    TransferStatus status = TransferStatus::Failed;
    int curlCode = 0;      // libcurl's code of the failed transfer
    long httpStatus = 0;   // the answer's status, 0 without one
    int socketError = 0;   // errno of the failing socket call, 0 when none was reported
    std::vector<uint8_t> body;
    std::string error;     // why it failed, for the log; empty on Ok

    bool ok() const { return status == TransferStatus::Ok; }
};

// One transfer.
TransferResult Transfer(const TransferRequest& request);

// Up to `attempts` transfers, waiting `pause` after each failed one. Failures
// that another try cannot mend end it at once: cancellation, a refused
// request, libcurl missing, a response too large, an https server that does
// not prove its identity, and any answer with a status.
TransferResult TransferWithRetries(const TransferRequest& request, int attempts, std::chrono::milliseconds pause);

// Whether libcurl is loaded (loads it on first use); why not in `why`.
bool Available(std::string* why = nullptr);

// The name of the library to load; tests point it at a missing one. Only
// while no transfer runs; the next transfer loads it afresh.
void SetLibraryNameForTesting(const std::string& name);

}  // namespace zk::net
