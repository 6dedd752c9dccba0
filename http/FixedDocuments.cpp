#include "http/FixedDocuments.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Text.h"
#include "resources/Resources.h"

namespace zk::http {
namespace {

constexpr const char* kTextPlain = "text/plain; charset=utf-8";
constexpr const char* kTextHtml = "text/html; charset=utf-8";

bool SafeHostHeader(std::string_view host) {
    if (host.empty() || host.size() > 255) return false;
    for (unsigned char c : host)
        if (!std::isalnum(c) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']') return false;
    return true;
}

// Fills the template's "%s" placeholders in order with the values.
std::string Fill(std::string_view tmpl, std::initializer_list<std::string_view> values) {
    std::string out;
    out.reserve(tmpl.size() + 1024);
    auto value = values.begin();
    size_t i = 0;
    while (i < tmpl.size()) {
        size_t at = value == values.end() ? std::string_view::npos : tmpl.find("%s", i);
        if (at == std::string_view::npos) {
            out.append(tmpl.substr(i));
            break;
        }
        out.append(tmpl.substr(i, at - i)).append(*value++);
        i = at + 2;
    }
    return out;
}

// The origins as a script's array of strings. An entry with a character no
// origin has could never match one, and is left out rather than escaped.
std::string OriginArray(const std::vector<std::string>& origins) {
    std::string out = "[";
    for (const std::string& origin : origins) {
        const bool plain = std::all_of(origin.begin(), origin.end(), [](unsigned char c) {
            return std::isalnum(c) || std::strchr("+-.:/[]_", c);
        });
        if (!plain || origin.empty()) continue;
        if (out.size() > 1) out += ", ";
        out.append("\"").append(origin).append("\"");
    }
    return out + "]";
}

}  // namespace

std::string BaseUrl(const FrameContext& frame) {
    std::string scheme = frame.tls ? "https" : "http";
    if (frame.hostHeader && SafeHostHeader(frame.hostHeader)) return scheme + "://" + frame.hostHeader;
    std::string host = SafeHostHeader(frame.configuredHost) ? frame.configuredHost : std::string("127.0.0.1");
    return scheme + "://" + host + ":" + std::to_string(frame.configuredPort);
}

std::string ExchangeFrame(const std::string& baseUrl, const std::vector<std::string>& allowedOrigins) {
    return Fill(resources::ExchangeFrameTemplate(), {resources::JQuery(), baseUrl, OriginArray(allowedOrigins)});
}

std::optional<FixedDocument> FindFixedDocument(std::string_view uri, const FrameContext& frame) {
    if (EqualNoCase(uri, "/empty.html")) return FixedDocument{"", kTextPlain, OriginHeader::RequestOrStar};
    if (EqualNoCase(uri, "/clientaccesspolicy.xml"))
        return FixedDocument{std::string(resources::ClientAccessPolicy()), kTextPlain, OriginHeader::None};
    if (EqualNoCase(uri, "/crossdomain.xml"))
        return FixedDocument{std::string(resources::CrossDomainPolicy()), kTextPlain, OriginHeader::None};
    if (EqualNoCase(uri, "/xchgframe.html"))
        return FixedDocument{ExchangeFrame(BaseUrl(frame), frame.allowedOrigins), kTextHtml, OriginHeader::Star};
    return std::nullopt;
}

}  // namespace zk::http
