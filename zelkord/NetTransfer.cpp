#include "zelkord/NetTransfer.h"

#include <cerrno>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/ServerAddress.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

constexpr std::string_view kProxy = ",proxy=";
constexpr std::string_view kUser = ",user=";
constexpr std::string_view kPass = ",pass=";
constexpr int kCurlTimedOut = 28;  // CURLE_OPERATION_TIMEDOUT

thread_local int32_t t_rule = 0;

int SetRule(int32_t rule) {
    t_rule = rule;
    return ZK_E_OK;
}

// Why an exchange failed: the code and reason of the service's answer, or
// under ZK_NET_PLAIN_ERRORS the one answer for every failure.
int ExchangeFailed(int code, const std::string& reason, int32_t socketError, int32_t* socketErrorOut) {
    if (t_rule & ZK_NET_PLAIN_ERRORS) {
        ZKD_LOG("Exchange failed (answered as code " + std::to_string(ZK_E_SOCKET) + "): code " +
                std::to_string(code) + ", " + reason);
        return Fail(ZK_E_SOCKET);
    }
    if (socketErrorOut) *socketErrorOut = socketError;
    return Fail(code, reason);
}

// The proxy part of the server string (after ",proxy="): HOST[:PORT], then
// the user and the password, which ends the text (it may hold anything).
bool ParseProxy(std::string_view text, zk::net::Proxy& proxy) {
    std::string_view address = text, user, pass;
    bool hasUser = false;
    if (const size_t u = text.find(kUser); u != std::string_view::npos) {
        address = text.substr(0, u);
        user = text.substr(u + kUser.size());
        hasUser = true;
        if (const size_t p = user.find(kPass); p != std::string_view::npos) {
            pass = user.substr(p + kPass.size());
            user = user.substr(0, p);
        }
    }
    zk::net::ServerAddress a;
    if (!zk::net::ParseServerAddress(address, a) || a.path != "/" || (hasUser && user.empty())) return false;
    proxy.host = a.scheme == "https" ? "https://" + a.host : a.host;
    proxy.port = a.port;
    proxy.user = std::string(user);
    // The password comes as Windows-1251 text, like every text of the
    // contract; proxies take it in UTF-8.
    proxy.password = zk::Cp1251ToUtf8(pass);
    return true;
}

}  // namespace

int PrepareTransfer(const char* server, int32_t port, int32_t timeout, zk::net::TransferRequest& out) {
    if (!server || !*server) return Fail(ZK_E_BAD_REQUEST_PARAMS, "no server address");
    if (port < 0 || port > 65535) return Fail(ZK_E_BAD_REQUEST_PARAMS, "port out of range: " + std::to_string(port));
    if (timeout < 1 || timeout > kMaxTimeoutSeconds)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "time-out out of range (1 to " + std::to_string(kMaxTimeoutSeconds) +
                                                 " seconds): " + std::to_string(timeout));
    std::string_view text(server);
    std::string_view proxyText;
    bool hasProxy = false;
    if (const size_t at = text.find(kProxy); at != std::string_view::npos) {
        proxyText = text.substr(at + kProxy.size());
        text = text.substr(0, at);
        hasProxy = true;
    }
    zk::net::ServerAddress address;
    if (!zk::net::ParseServerAddress(text, address))
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "not a server address: " + std::string(text));
    out.url = address.Url(port);
    if (hasProxy && !ParseProxy(proxyText, out.proxy)) return Fail(ZK_E_BAD_REQUEST_PARAMS, "not a proxy address");
    out.connectTimeoutSeconds = timeout;
    out.totalTimeoutSeconds = timeout;
    out.maxResponseBytes = kMaxServiceAnswer;
    out.environmentProxy = false;
    return ZK_E_OK;
}

int PostToService(const char* server, int32_t port, int32_t timeout, const char* contentType, const Bytes& body,
                  Bytes& answer, int32_t* socketError) {
    if (socketError) *socketError = 0;
    zk::net::TransferRequest request;
    if (int rc = PrepareTransfer(server, port, timeout, request)) return rc;
    request.post = true;
    request.body = body;
    request.contentType = contentType;
    request.publicOnly = (t_rule & ZK_NET_PUBLIC_ONLY) != 0;
    zk::net::TransferResult result = zk::net::Transfer(request);
    using zk::net::TransferStatus;
    switch (result.status) {
        case TransferStatus::Ok:
            if (result.body.empty())
                return ExchangeFailed(ZK_E_SERVER_RESPONSE, "the service answered with an empty body", 0, socketError);
            answer = std::move(result.body);
            return ZK_E_OK;
        case TransferStatus::HttpStatus:
            return ExchangeFailed(ZK_E_SERVER_RESPONSE,
                                  "the service answered with HTTP status " + std::to_string(result.httpStatus), 0,
                                  socketError);
        case TransferStatus::TooLarge:
            return ExchangeFailed(ZK_E_SERVER_RESPONSE, result.error, 0, socketError);
        case TransferStatus::Refused:
            return ExchangeFailed(ZK_E_BAD_REQUEST_PARAMS, result.error, 0, socketError);
        case TransferStatus::Failed:
        case TransferStatus::Cancelled:
        case TransferStatus::NotLoaded:
            break;
    }
    int error = result.socketError;
    if (error == 0 && result.curlCode == kCurlTimedOut) error = ETIMEDOUT;
    return ExchangeFailed(ZK_E_SOCKET, result.error + (error ? " (socket error " + std::to_string(error) + ")" : ""),
                          error, socketError);
}

ZKD_EXPORT(ZKLNET_SetRule, SetRule);

}  // namespace zkd
