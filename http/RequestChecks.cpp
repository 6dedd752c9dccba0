#include "http/RequestChecks.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace zk::http {

namespace {

constexpr size_t kMaxOrigin = 1024;

// "host[:port]" split; port 0 when none is written, nullopt when the port is
// not 1 to 5 digits. "[::1]" keeps its colons.
struct HostPort {
    std::string_view host;
    unsigned port = 0;
};

std::optional<HostPort> SplitHostPort(std::string_view text) {
    HostPort out{text, 0};
    size_t colon = text.rfind(':');
    size_t bracket = text.rfind(']');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        std::string_view port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        out.host = text.substr(0, colon);
        for (char c : port) out.port = out.port * 10 + static_cast<unsigned>(c - '0');
    }
    return out;
}

bool OwnHostName(std::string_view host, const std::string& configuredHost) {
    if (host.empty()) return false;
    for (std::string_view name : {"127.0.0.1", "localhost", "[::1]"})
        if (EqualNoCase(host, name)) return true;
    return configuredHost != "*" && !configuredHost.empty() && EqualNoCase(host, configuredHost);
}

// An origin as browsers serialise it: "null", or scheme "://" host, with
// ":port" when not the scheme's default; no path, no user.
bool WellFormedOrigin(std::string_view origin) {
    if (origin == "null") return true;
    if (origin.empty() || origin.size() > kMaxOrigin) return false;
    const size_t sep = origin.find("://");
    if (sep == std::string_view::npos || sep == 0 || !std::isalpha(static_cast<unsigned char>(origin[0])))
        return false;
    for (char c : origin.substr(0, sep))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    const std::string_view rest = origin.substr(sep + 3);
    if (rest.empty()) return false;
    for (char c : rest)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']' &&
            c != '_')
            return false;
    return SplitHostPort(rest).has_value();
}

}  // namespace

bool HostAllowed(const char* hostHeader, const std::string& configuredHost) {
    if (!hostHeader) return true;
    std::optional<HostPort> hp = SplitHostPort(hostHeader);
    return hp && OwnHostName(hp->host, configuredHost);
}

bool IsOwnOrigin(std::string_view origin, const OwnOrigin& own) {
    const size_t sep = origin.find("://");
    if (sep == std::string_view::npos) return false;
    const std::string_view scheme = origin.substr(0, sep);
    std::optional<HostPort> hp = SplitHostPort(origin.substr(sep + 3));
    if (!hp || !OwnHostName(hp->host, own.configuredHost)) return false;
    if (EqualNoCase(scheme, "http")) return own.plainPort != 0 && (hp->port ? hp->port : 80) == own.plainPort;
    if (EqualNoCase(scheme, "https")) return own.tlsPort != 0 && (hp->port ? hp->port : 443) == own.tlsPort;
    return false;
}

std::optional<std::string> PageOrigin(const char* origin, const char* forwarded, const OwnOrigin& own) {
    if (!origin) return std::string();
    if (!IsOwnOrigin(origin, own)) return std::string(origin);
    // Only the exchange frame posts from here; it always names its page.
    if (!forwarded || !WellFormedOrigin(forwarded) || IsOwnOrigin(forwarded, own)) return std::nullopt;
    return std::string(forwarded);
}

bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed) {
    if (allowed.empty() || origin.empty()) return true;
    return std::find(allowed.begin(), allowed.end(), origin) != allowed.end();
}

}  // namespace zk::http
