// The four documents a GET may fetch, and the exchange frame built per request.
#pragma once
#include <optional>
#include <string>
#include <string_view>

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
};

// The document for a percent-decoded request URI (compared whole, ignoring
// ASCII case), or nothing.
std::optional<FixedDocument> FindFixedDocument(std::string_view decodedUri, const FrameContext& frame);

// "http(s)://" and the Host header, or the configured host and port when the
// header is absent or holds anything but host-name and address characters
// (it is written into the page's script).
std::string BaseUrl(const FrameContext& frame);

// The frame template with jQuery and the base URL filled in.
std::string ExchangeFrame(const std::string& baseUrl);

}  // namespace zk::http
