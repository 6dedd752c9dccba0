#include "commands/containers/SignerOcsp.h"

#include <cctype>
#include <cstring>

#include "base/CBase64.h"
#include "base/Log.h"
#include "base/Params.h"
#include "base/Settings.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "platform/Profile.h"

namespace zk {
namespace {

constexpr size_t kServerEntrySize = 1023;

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

bool AllDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string ConfiguredServer(const std::string& issuerSN) {
    if (issuerSN.empty()) return {};
    const std::string file = ParamsIniPath();
    std::string value = Profile::GetString(file, "ocspServers", issuerSN, "", kServerEntrySize);
    const size_t dash = issuerSN.rfind('-');
    if (value.empty() && dash != std::string::npos && dash != 2)
        value = Profile::GetString(file, "ocspServers", issuerSN.substr(0, dash), "", kServerEntrySize);
    return value;
}

}  // namespace

bool ReadOcspCheckParams(const tinyxml2::XMLElement* params, OcspCheckParams& out) {
    out = OcspCheckParams{};
    const tinyxml2::XMLElement* ocsp = LastChild(params, "OCSP");
    out.enabled = ChildIsTrue(ocsp, "Enabled");
    if (!out.enabled) return true;
    out.requester = ReadSignerParams(ocsp, 0);
    out.requester.lib = "QLB";
    const bool source = out.requester.senderCert || !out.requester.drfo.empty() || !out.requester.serial.empty();
    if (!source && (out.requester.pass.present || out.requester.senderKey || !out.requester.dongleProvider.empty()))
        return false;
    const std::optional<int32_t> timeout = ReadInt32(ocsp, "Timeout", 1);
    if (!timeout) return false;
    out.timeout = *timeout;
    out.proxy = LastChild(ocsp, "Proxy");
    return true;
}

OcspServer ParseOcspServer(const std::string& uri) {
    OcspServer server;
    const size_t schemeEnd = uri.find("://");
    const size_t hostStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const size_t authorityEnd = std::min(uri.find_first_of("/?#", hostStart), uri.size());
    std::string authority = uri.substr(hostStart, authorityEnd - hostStart);
    if (const size_t at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::string host = authority, port;
    if (!authority.empty() && authority[0] == '[') {  // an IPv6 literal
        const size_t close = authority.find(']');
        if (close == std::string::npos) return {};
        host = authority.substr(0, close + 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') return {};
            port = authority.substr(close + 2);
            if (port.empty()) return {};
        }
    } else if (const size_t colon = authority.rfind(':'); colon != std::string::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty()) return {};
    }
    if (host.empty()) return {};
    if (!port.empty()) {
        if (!AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) return {};
        server.port = std::stoi(port);
    }
    server.address = uri.substr(0, hostStart) + host + uri.substr(authorityEnd);
    return server;
}

OcspServer OcspServerFor(const ProviderCertInfo& info) {
    std::string uri = FieldText(info.AccessOCSP, sizeof info.AccessOCSP);
    if (uri.empty()) uri = ConfiguredServer(FieldText(info.IssuerSN, sizeof info.IssuerSN));
    return ParseOcspServer(uri);
}

OcspCheck CheckSignerCertificate([[maybe_unused]] const OcspCheckParams& params,
                                 [[maybe_unused]] provider::ByteView cert, const ProviderCertInfo& info) {
    OcspCheck check;
    const OcspServer server = OcspServerFor(info);
    check.code = kOcspNotChecked;
    ZLOG("CheckSignerCertificate", "OCSP check of certificate %s at '%s' port %d not made: no OCSP client",
         FieldText(info.SN, sizeof info.SN).c_str(), server.address.c_str(), server.port);
    return check;
}

void AppendOcspCheck(tinyxml2::XMLElement* certInfo, const OcspCheck& check) {
    tinyxml2::XMLElement* ocsp = certInfo->InsertNewChildElement("OCSP");
    AddTextElement(ocsp, "Code", std::to_string(check.code));
    if (check.code != 0) return;
    AddTextElement(ocsp, "Response", Base64Encode(check.response.data(), check.response.size()));
    AddTextElement(ocsp, "WSAResponse", std::to_string(check.socketError));
}

}  // namespace zk
