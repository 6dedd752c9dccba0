#include "platform/ServerAddress.h"

#include <cctype>

#include "platform/Text.h"

namespace zk::net {
namespace {

bool ParsePort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

std::string ServerAddress::Url(int defaultPort) const {
    const int p = port ? port : defaultPort ? defaultPort : scheme == "https" ? 443 : 80;
    return scheme + "://" + host + ":" + std::to_string(p) + path;
}

bool ParseServerAddress(std::string_view text, ServerAddress& out) {
    const std::string trimmed = TrimBlanks(text);
    std::string_view rest = trimmed;
    for (char c : rest)
        if (static_cast<unsigned char>(c) <= ' ' || c == 127 || c == '#' || c == '\\') return false;
    ServerAddress a;
    if (const size_t sep = rest.find("://"); sep != std::string_view::npos) {
        const std::string_view scheme = rest.substr(0, sep);
        if (EqualNoCase(scheme, "http")) {
            a.scheme = "http";
        } else if (EqualNoCase(scheme, "https")) {
            a.scheme = "https";
        } else {
            return false;
        }
        rest.remove_prefix(sep + 3);
    }
    const size_t end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, end);
    if (end != std::string_view::npos) {
        const std::string_view tail = rest.substr(end);
        a.path = tail[0] == '/' ? std::string(tail) : "/" + std::string(tail);
    }
    if (authority.empty() || authority.find('@') != std::string_view::npos) return false;
    std::string_view portText;
    bool hasPort = false;
    if (authority[0] == '[') {  // an IPv6 literal
        const size_t close = authority.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        a.host = std::string(authority.substr(0, close + 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return false;
            portText = after.substr(1);
            hasPort = true;
        }
    } else {
        const size_t colon = authority.find(':');
        a.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            hasPort = true;
        }
        if (a.host.find_first_of("[]") != std::string::npos) return false;
    }
    if (a.host.empty() || (hasPort && !ParsePort(portText, a.port))) return false;
    out = std::move(a);
    return true;
}

}  // namespace zk::net
