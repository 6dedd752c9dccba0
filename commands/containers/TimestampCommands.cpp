#include "commands/containers/TimestampCommands.h"

#include <cstring>
#include <optional>
#include <vector>

#include "base/CBase64.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "commands/containers/NetworkParams.h"
#include "commands/signer/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {
namespace {

// The certificate that names the timestamp service, and the service.
struct TimestampService {
    int code = 0;  // not 0: the command ends with this code
    std::vector<uint8_t> cert;
    provider::ServiceTarget target;
};

// Nothing when the command has no answer of its own: no certificate source,
// a malformed Host, or no service address (neither Host nor the
// certificate's timestamp access point).
std::optional<TimestampService> LocateService(const char* function, const tinyxml2::XMLElement* params) {
    const SignerParams signer = ReadSignerParams(params, 0);
    if (!signer.senderCert && signer.drfo.empty() && signer.serial.empty()) return std::nullopt;
    const std::optional<HostParam> host = ReadHost(params);
    if (!host) return std::nullopt;
    TimestampService s;
    if (signer.senderCert) {
        s.cert = *signer.senderCert;
    } else if ((s.code = FindCertificateOnly(signer, s.cert))) {
        return s;
    }
    std::string address = host->address;
    if (address.empty()) {
        ProviderCertInfo info{};
        info.Type = -1;
        if ((s.code = provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>(provider::Site{function, __FILE__, __LINE__, nullptr}, provider::ByteView(s.cert), &info)))
            return s;
        address.assign(info.AccessTSP, strnlen(info.AccessTSP, sizeof info.AccessTSP));
        if (address.empty()) return std::nullopt;
    }
    s.target = Target(address, host->port, host->timeout, ProxySuffix(params));
    return s;
}

// The timestamp information element.
void AppendTimestampInfo(tinyxml2::XMLElement* parent, const provider::TimestampOutcome& out) {
    tinyxml2::XMLElement* info = AddTextElement(parent, "Info", "");
    AddTextElement(info, "Status", std::to_string(out.info.Status));
    AddTextElement(info, "FailInfo", std::to_string(out.info.FailInfo));
    AddTextElement(info, "Hash", HexText(out.info.Hash, sizeof out.info.Hash, false));
    AddTextElement(info, "TimeValue", DateText(out.info.Time));
    const provider::ByteView cert = out.TsaCert();
    if (!cert.empty()) AddTextElement(info, "Cert", Base64Encode(cert.data(), cert.size()));
}

// Response (written straight into the printed answer: it may be a whole
// container), WSAResponse and the information element, on success.
std::string TimestampAnswer(const char* command, int code, const provider::TimestampOutcome& out) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    if (code != 0) return PrintDocument(doc);
    tinyxml2::XMLElement* response = AddTextElement(data, "Response", "");
    AddTextElement(data, "WSAResponse", std::to_string(out.socketError));
    AppendTimestampInfo(data, out);
    return PrintDocumentWithBase64(doc, response, out.response.data(), out.response.size());
}

}  // namespace

bool CtxRequestTimestampCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer) {
    std::optional<TimestampService> service = LocateService("CtxRequestTimestampCommand", params);
    if (!service) return false;
    provider::TimestampOutcome out;
    int code = service->code;
    if (code == 0)
        code = provider::CtxRequestTimestamp(ZK_SITE("CtxRequestTimestampCommand"), TakeRequestDocument(data).view(),
                                             service->cert, service->target, out);
    answer = TimestampAnswer(command, code, out);
    return true;
}

bool CtxAddTimestampCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                            std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "SignIndex");
    if (!index) return false;
    std::optional<TimestampService> service = LocateService("CtxAddTimestampCommand", params);
    if (!service) return false;
    provider::TimestampOutcome out;
    int code = service->code;
    if (code == 0)
        code = provider::CtxAddTimestamp(ZK_SITE("CtxAddTimestampCommand"), TakeRequestDocument(data).view(), *index,
                                         service->cert, service->target, out);
    answer = TimestampAnswer(command, code, out);
    return true;
}

bool CtxGetTimestampInfoCommand(const char* command, const tinyxml2::XMLElement*, const char* data,
                                std::string& answer) {
    provider::TimestampOutcome out;
    const int code =
        provider::CtxGetTimestampInfo(ZK_SITE("CtxGetTimestampInfoCommand"), TakeRequestDocument(data).view(), out);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code);
    if (code == 0) AppendTimestampInfo(holder, out);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
