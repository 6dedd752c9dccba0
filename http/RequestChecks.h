// Who may be served: the Host a request names and the Origin of the page
// that sent it. Any web page can make the browser reach the loopback
// service, and a name it controls can be made to point there (DNS
// rebinding): only the service's own names are answered.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zk::http {

// True when the Host header is absent (nullptr) or names 127.0.0.1,
// localhost, [::1] or the configured Host address, with or without a port.
bool HostAllowed(const char* hostHeader, const std::string& configuredHost);

// True when no list is configured, the request has no Origin, or its Origin
// is one of the list (compared exactly).
bool OriginAllowed(const char* origin, const std::vector<std::string>& allowed);

}  // namespace zk::http
