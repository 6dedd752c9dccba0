#include "commands/containers/ValidationCommands.h"

#include <cstring>
#include <optional>
#include <vector>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "commands/containers/NetworkParams.h"
#include "commands/containers/OcspCheck.h"
#include "provider/Operations.h"

namespace zk {
namespace {

using Bytes = std::vector<uint8_t>;

// CMP certificate slots: two (the two keys of a subject), or room for their chains.
constexpr int32_t kCmpSlots = 2;
constexpr int32_t kCmpChainSlots = 32;

// The decoded texts of the children named name of list, empty ones
// skipped, at most limit of them.
std::vector<Bytes> DecodedChildren(const tinyxml2::XMLElement* list, const char* name, size_t limit) {
    std::vector<Bytes> out;
    for (const tinyxml2::XMLElement* e : Children(list, name)) {
        if (out.size() == limit) break;
        const std::string text = ElementText(e);
        if (!text.empty()) out.push_back(Base64Decode(text));
    }
    return out;
}

struct OwnedObject {
    Bytes cert;
    std::vector<Bytes> crls, ocsps;
};

}  // namespace

bool CtxRequestOcspCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                           std::string& answer) {
    std::vector<Bytes> certs;
    for (const tinyxml2::XMLElement* c : Children(LastChild(params, "Certs"), "Cert")) {
        if (certs.size() == ZK_OCSP_MAX_STATUSES) return false;  // more than one request may ask about
        certs.push_back(Base64Decode(ElementText(c)));
    }
    if (certs.empty()) return false;
    const std::optional<HostParam> host = ReadHost(params);
    if (!host) return false;
    std::optional<OcspRequester> requester = LocateOcspRequester(params);
    if (!requester) return false;

    // The first certificate with an OCSP access point names the responder
    // when Host does not.
    std::string address = host->address;
    int code = 0;
    for (const Bytes& cert : certs) {
        ProviderCertInfo info{};
        info.Type = -1;
        if ((code = provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>(ZK_SITE("CtxRequestOcspCommand"), provider::ByteView(cert), &info))) break;
        if (address.empty()) address.assign(info.AccessOCSP, strnlen(info.AccessOCSP, sizeof info.AccessOCSP));
    }
    if (code == 0 && address.empty()) return false;
    provider::OcspOutcome out;
    if (code == 0) {
        const std::vector<provider::ByteView> views(certs.begin(), certs.end());
        code = RequestOcsp(ZK_SITE("CtxRequestOcspCommand"), views, *requester,
                           Target(address, host->port, host->timeout, ProxySuffix(params)),
                           OcspResponseCapacity(certs.size()), out);
    }
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code, requester->Detail());
    if (code == 0) AppendOcspAnswer(data, out);
    answer = PrintDocument(doc);
    return true;
}

bool CtxGetOcspInfoCommand(const char* command, const tinyxml2::XMLElement*, const char* data, std::string& answer) {
    provider::OcspOutcome out;
    const int code =
        provider::CtxGetOCSPResponseInfo(ZK_SITE("CtxGetOcspInfoCommand"), TakeRequestDocument(data).view(), out);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code);
    if (code == 0) AppendOcspInfo(holder, out.info, out.statuses);
    answer = PrintDocument(doc);
    return true;
}

bool CtxRequestCmpCommand(const char* command, const tinyxml2::XMLElement* params, const char*,
                          std::string& answer) {
    const std::optional<HostParam> host = ReadHost(params);
    const std::string keyId1 = ChildText(params, "SubjectKeyId1");
    if (!host || host->address.empty() || keyId1.empty()) return false;
    const bool chain = ChildIsTrue(params, "AcquireChain");
    std::vector<Bytes> certs;
    int32_t socketError = 0;
    const int code = provider::CtxRequestCMP(ZK_SITE("CtxRequestCmpCommand"), keyId1, ChildText(params, "SubjectKeyId2"),
                                             chain, chain ? kCmpChainSlots : kCmpSlots,
                                             Target(host->address, host->port, host->timeout, ProxySuffix(params)),
                                             certs, socketError);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    if (code == 0) {
        AddTextElement(data, "WSAResponse", std::to_string(socketError));
        if (!certs.empty()) {
            tinyxml2::XMLElement* list = AddTextElement(data, "Certs", "");
            for (const Bytes& cert : certs) AddTextElement(list, "Cert", Base64Encode(cert.data(), cert.size()));
        }
    }
    answer = PrintDocument(doc);
    return true;
}

bool CtxAddCompleteInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                               std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "SignIndex");
    if (!index) return false;
    std::vector<OwnedObject> owned;
    for (const tinyxml2::XMLElement* o : Children(LastChild(params, "Objects"), "Object")) {
        const std::string cert = ChildText(o, "Cert");
        if (cert.empty()) continue;
        owned.push_back({Base64Decode(cert), DecodedChildren(LastChild(o, "CRLs"), "CRL", ZK_COMPLETE_MAX_ITEMS),
                         DecodedChildren(LastChild(o, "OCSPs"), "OCSP", ZK_COMPLETE_MAX_ITEMS)});
    }
    if (owned.empty()) return false;
    std::vector<provider::ValidationObject> objects;
    for (const OwnedObject& o : owned)
        objects.push_back({o.cert, {o.crls.begin(), o.crls.end()}, {o.ocsps.begin(), o.ocsps.end()}});
    provider::Output out;
    const int code = provider::CtxSetCompleteInfo(ZK_SITE("CtxAddCompleteInfoCommand"), TakeRequestDocument(data).view(),
                                                  *index, objects, out);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code);
    answer = code == 0 ? PrintDocumentWithBase64(doc, holder, out.data(), out.size()) : PrintDocument(doc);
    return true;
}

}  // namespace zk
