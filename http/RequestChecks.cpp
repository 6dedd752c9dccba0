#include "http/RequestChecks.h"

#include <algorithm>

#include "platform/Text.h"

namespace zk::http {

bool HostAllowed(const char* hostHeader, const std::string& configuredHost) {
    if (!hostHeader) return true;
    std::string_view host(hostHeader);
    // Cut ":port" (digits only) from the end; "[::1]" keeps its colons.
    size_t colon = host.rfind(':');
    size_t bracket = host.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        std::string_view port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"})
        if (EqualNoCase(host, name)) return true;
    return configuredHost != "*" && !configuredHost.empty() && EqualNoCase(host, configuredHost);
}

bool OriginAllowed(const char* origin, const std::vector<std::string>& allowed) {
    if (allowed.empty() || !origin) return true;
    return std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

}  // namespace zk::http
