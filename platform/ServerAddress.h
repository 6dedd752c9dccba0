// The address of a network service as pages, certificates (their access
// points) and the settings give it: a URI ("http://host:port/path") or a bare
// host name with an optional ":port", served at "/". It is read as a URI
// (scheme, host, port, path), never cut at the first or last ":", so that
// "http://ocsp.example/ocsp" and "[::1]:2560" keep their meaning.
#pragma once
#include <string>
#include <string_view>

namespace zk::net {

struct ServerAddress {
    std::string scheme = "http";  // "http" or "https", lower case
    std::string host;             // an IPv6 literal keeps its brackets
    int port = 0;                 // as written; 0 when the address names none
    std::string path = "/";       // path and query, from the first "/" on

    // The URL to transfer to. Without a port in the address, defaultPort
    // (when not 0), else the scheme's.
    std::string Url(int defaultPort = 0) const;
};

// False when the text is no such address: another scheme, no host, a port
// other than 1 to 65535, a user part ("user@host"), a fragment, blanks or
// control characters inside. Blanks around it are dropped.
bool ParseServerAddress(std::string_view text, ServerAddress& out);

}  // namespace zk::net
