#include "http/FixedDocuments.h"

#include <cctype>

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

}  // namespace

std::string BaseUrl(const FrameContext& frame) {
    std::string scheme = frame.tls ? "https" : "http";
    if (frame.hostHeader && SafeHostHeader(frame.hostHeader)) return scheme + "://" + frame.hostHeader;
    std::string host = SafeHostHeader(frame.configuredHost) ? frame.configuredHost : std::string("127.0.0.1");
    return scheme + "://" + host + ":" + std::to_string(frame.configuredPort);
}

std::string ExchangeFrame(const std::string& baseUrl) {
    return Fill(resources::ExchangeFrameTemplate(), {resources::JQuery(), baseUrl});
}

std::optional<FixedDocument> FindFixedDocument(std::string_view uri, const FrameContext& frame) {
    if (EqualNoCase(uri, "/empty.html")) return FixedDocument{"", kTextPlain, OriginHeader::RequestOrStar};
    if (EqualNoCase(uri, "/clientaccesspolicy.xml"))
        return FixedDocument{std::string(resources::ClientAccessPolicy()), kTextPlain, OriginHeader::None};
    if (EqualNoCase(uri, "/crossdomain.xml"))
        return FixedDocument{std::string(resources::CrossDomainPolicy()), kTextPlain, OriginHeader::None};
    if (EqualNoCase(uri, "/xchgframe.html"))
        return FixedDocument{ExchangeFrame(BaseUrl(frame)), kTextHtml, OriginHeader::Star};
    return std::nullopt;
}

}  // namespace zk::http
