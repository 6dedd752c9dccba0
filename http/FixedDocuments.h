// The four documents a GET may fetch, and the exchange frame built per request.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::http {

enum class OriginHeader { RequestOrStar, None, Star };

struct FixedDocument {
    std::string body;
    const char* contentType;
    OriginHeader allowOrigin;
};

struct FrameContext {
    bool tls = false;
    const char* hostHeader = nullptr;  // the request's Host header, or nullptr
    std::string configuredHost;        // the Host setting
    unsigned configuredPort = 0;       // Port or PortS
    std::vector<std::string> allowedOrigins;  // the AllowedOrigins setting
};

// The document for a percent-decoded request URI (compared whole, ignoring
// ASCII case), or nothing.
std::optional<FixedDocument> FindFixedDocument(std::string_view decodedUri, const FrameContext& frame);

// "http(s)://" and the Host header, or the configured host and port when the
// header is absent or holds anything but host-name and address characters
// (it is written into the page's script).
std::string BaseUrl(const FrameContext& frame);

// The frame template with jQuery, the base URL and the origins the frame
// serves (AllowedOrigins; empty: every origin) filled in.
std::string ExchangeFrame(const std::string& baseUrl, const std::vector<std::string>& allowedOrigins);

}  // namespace zk::http
