// Who may be served: the Host a request names and the Origin of the page
// that sent it. Any web page can make the browser reach the loopback
// service, and a name it controls can be made to point there (DNS
// rebinding): only the service's own names are answered.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::http {

// True when the Host header is absent (nullptr) or names 127.0.0.1,
// localhost, [::1] or the configured Host address, with or without a port.
bool HostAllowed(const char* hostHeader, const std::string& configuredHost);

// True when no list is configured, the request has no origin (empty), or
// its origin is one of the list (compared exactly).
bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed);

// The header in which the exchange frame names the page it serves: the
// origin the browser gave that page's message (event.origin).
constexpr const char* kPageOriginHeader = "X-ZelkorH-Page-Origin";

// Where the service's own pages live: its names and its listeners' ports.
struct OwnOrigin {
    std::string configuredHost;
    uint16_t plainPort = 0;
    uint16_t tlsPort = 0;
};

// True when origin is one of the service's own (a page it served itself:
// only the exchange frame posts requests from there), in any of its names,
// over the scheme of the listener on that port.
bool IsOwnOrigin(std::string_view origin, const OwnOrigin& own);

// The origin that keys a request's secrets (kept passwords, the password
// slot, token sessions, protected databases) and that AllowedOrigins judges:
// the request's Origin; for a request from the service's own origin, the
// page origin the frame forwarded; "" for a request without Origin (a
// program of the user's). nullopt: the request is refused (from the
// service's own origin without a well-formed forwarded origin that is not
// itself the service's).
std::optional<std::string> PageOrigin(const char* origin, const char* forwarded, const OwnOrigin& own);

}  // namespace zk::http
