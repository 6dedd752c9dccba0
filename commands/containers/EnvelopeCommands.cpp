#include "commands/containers/EnvelopeCommands.h"

#include <cstring>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerParams.h"
#include "commands/containers/EnvelopeOpening.h"
#include "commands/CertDescription.h"
#include "commands/protected/ProtectedData.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/CertListFunc.h"
#include "provider/Operations.h"

namespace zk {
namespace {

std::string BytesAnswer(const char* command, int code, const uint8_t* data, size_t len, int detail = kNoDetail) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, detail);
    return code == 0 ? PrintDocumentWithBase64(doc, holder, data, len) : PrintDocument(doc);
}

}  // namespace

void AppendRecipients(tinyxml2::XMLElement* parent, const std::vector<ProviderCertInfo>& recipients) {
    tinyxml2::XMLElement* list = parent->InsertNewChildElement("Recipients");
    for (const ProviderCertInfo& info : recipients) AppendCertDetails(list->InsertNewChildElement("Cert"), info, {});
}

bool CtxEncryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer) {
    std::vector<std::vector<uint8_t>> recipients;
    for (const tinyxml2::XMLElement* e : Children(LastChild(params, "Certs"), "Cert"))
        recipients.push_back(Base64Decode(ElementText(e)));
    SignerParams signer = ReadSignerParams(params, 0);
    signer.lib = "QLB";  // the container commands locate files with the one library
    if (recipients.empty() || !signer.Sufficient()) return false;

    SignerLocation sender = LocateSigner(signer);
    int code = sender.code;
    for (size_t i = 0; code == 0 && i < recipients.size(); ++i) {
        ProviderCertInfo info{};
        std::vector<std::string> eku;
        code = ReadCertInfo(recipients[i].data(), recipients[i].size(), info, eku, ZK_SITE("CtxEncryptCommand"));
    }
    SharedBytes envelope;
    if (code == 0) {
        // Built where the document lies, which it overwrites (or wipes).
        SharedBytes document = TakeRequestDocument(data);
        const std::vector<provider::ByteView> views(recipients.begin(), recipients.end());
        code = provider::CtxEncryptDataInPlace(ZK_SITE("CtxEncryptCommand"), document,
                                               {sender.cert, sender.Key(), sender.password.c_str()}, views, envelope);
    }
    sender.DisconnectToken();
    answer = DocumentAnswer(command, code, std::move(envelope), sender.detail);
    return true;
}

bool CtxDecryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer) {
    RecipientParams recipient = ReadRecipientParams(params);
    DocumentBuffer envelope = DecodeDocument(data);
    // The plaintext takes the envelope's place: the document is held once.
    const OpenedEnvelope opened = OpenEnvelope(recipient, envelope.view(), nullptr, ZK_SITE("CtxDecryptCommand"),
                                               envelope.mutableView());
    envelope.Resize(opened.code == 0 ? opened.inPlace : 0);
    answer = DocumentAnswer(command, opened.code, envelope.Share(), opened.detail);
    return true;
}

bool CtxGetEnvelopeTypeCommand(const char* command, const tinyxml2::XMLElement*, const char* data,
                               std::string& answer) {
    int32_t type = 0;
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_GetEnvelopeType)>(ZK_SITE("CtxGetEnvelopeTypeCommand"),
                                                                          DecodeDocument(data).view(), &type);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) AddTextElement(out, "EnvelopeType", std::to_string(type));
    answer = PrintDocument(doc);
    return true;
}

bool CtxGetSenderCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "CertIndex");
    if (!index) return false;
    std::vector<uint8_t> cert;
    const int code = provider::CtxGetOriginatorCertificate(ZK_SITE("CtxGetSenderCertCommand"),
                                                           DecodeDocument(data).view(), *index, cert);
    answer = BytesAnswer(command, code, cert.data(), cert.size());
    return true;
}

bool CtxGetRecipientsCommand(const char* command, const tinyxml2::XMLElement*, const char* data,
                             std::string& answer) {
    std::vector<ProviderCertInfo> recipients;
    const int code = provider::CtxEnumerateRecipients(ZK_SITE("CtxGetRecipientsCommand"),
                                                      DecodeDocument(data).view(), recipients);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) AppendRecipients(out, recipients);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
