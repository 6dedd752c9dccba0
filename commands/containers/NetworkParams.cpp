#include "commands/containers/NetworkParams.h"

#include <cstring>

#include "base/NetworkRule.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/containers/ContainerParams.h"
#include "commands/ocsp/OcspServers.h"
#include "platform/CodePage.h"
#include "platform/ServerAddress.h"

namespace zk {

std::optional<HostParam> ReadHost(const tinyxml2::XMLElement* params) {
    const tinyxml2::XMLElement* host = LastChild(params, "Host");
    HostParam h;
    h.address = Utf8ToCp1251(ChildText(host, "Address"));
    const std::optional<int32_t> port = ReadInt32(host, "Port", 0);
    const std::optional<int32_t> timeout = ReadInt32(host, "Timeout", 1);
    if (!port || !timeout) return std::nullopt;
    h.port = *port;
    h.timeout = *timeout;
    return h;
}

SecretString ProxySuffix(const tinyxml2::XMLElement* parent) {
    const tinyxml2::XMLElement* proxy = LastChild(parent, "Proxy");
    const std::string address = Utf8ToCp1251(ChildText(proxy, "Address"));
    if (address.empty()) return {};
    std::string suffix = ",proxy=" + address;
    const std::string port = ChildText(proxy, "Port");
    if (!port.empty()) suffix += ":" + port;
    const std::string user = ChildText(proxy, "User");
    if (!user.empty()) {
        suffix += ",user=" + user;
        SecretString password(Utf8ToCp1251(ChildText(proxy, "Password")));
        if (!password.str().empty()) suffix.append(",pass=").append(password.str());
    }
    SecretString out(suffix);
    SecureWipe(suffix);
    return out;
}

provider::ServiceTarget Target(const std::string& address, int32_t port, int32_t timeout, const SecretString& proxy,
                               bool configured) {
    provider::ServiceTarget t;
    const NetworkRule rule = CurrentNetworkRule();
    if (rule.page) t.rule |= ZK_NET_PLAIN_ERRORS;
    if (rule.publicOnly && !(configured && proxy.str().empty())) t.rule |= ZK_NET_PUBLIC_ONLY;
    std::string server = address;
    server.append(proxy.str());
    t.server = SecretString(server);
    SecureWipe(server);
    t.port = port;
    t.timeout = timeout;
    return t;
}

ServerAddressParam SplitServerAddress(const std::string& value) {
    net::ServerAddress parsed;
    ServerAddressParam server;
    server.address = value;
    server.port = net::ParseServerAddress(value, parsed) ? parsed.port : 0;
    return server;
}

ServerAddressParam ConfiguredOcspServer(const std::string& issuerSN) {
    if (issuerSN.empty()) return {};
    std::optional<RegisteredOcspServer> found = FindOcspServer(issuerSN);
    const size_t hyphen = issuerSN.rfind('-');
    if (!found && hyphen != std::string::npos && hyphen != 2) found = FindOcspServer(issuerSN.substr(0, hyphen));
    if (!found) return {};
    ServerAddressParam server = SplitServerAddress(found->address);
    server.configured = found->configured;
    return server;
}

ServerAddressParam OcspServerOf(const ProviderCertInfo& info) {
    const std::string access(info.AccessOCSP, strnlen(info.AccessOCSP, sizeof info.AccessOCSP));
    if (!access.empty()) return SplitServerAddress(access);
    return ConfiguredOcspServer(std::string(info.IssuerSN, strnlen(info.IssuerSN, sizeof info.IssuerSN)));
}

}  // namespace zk
