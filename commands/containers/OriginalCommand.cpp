#include "commands/containers/OriginalCommand.h"

#include <vector>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerInfoXml.h"
#include "commands/containers/EnvelopeCommands.h"
#include "commands/containers/EnvelopeOpening.h"
#include "commands/containers/SignerOcsp.h"
#include "commands/CertDescription.h"
#include "commands/protected/ProtectedData.h"
#include "discovery/CertListFunc.h"
#include "discovery/CertsAtHand.h"
#include "provider/Operations.h"

namespace zk {
namespace {

#define ORIGINAL_SITE ZK_SITE("CtxGetOriginalCommand")

constexpr int32_t kTypeSigned = 1;
constexpr int32_t kTypeEnvelope = 2;

provider::ByteView PieceOf(const ZKBlob& blob) {
    return blob.data && blob.length ? provider::ByteView(blob.data, blob.length) : provider::ByteView();
}

// One signature: its verdicts, its description and its signer's certificate.
void AppendSign(tinyxml2::XMLElement* signs, size_t index, const ContainerInfo& info,
                const std::vector<int32_t>& results, const OcspCheckParams& ocsp) {
    tinyxml2::XMLElement* sign = signs->InsertNewChildElement("Sign");
    sign->SetAttribute("Num", static_cast<int>(index));
    if (index < results.size()) AddTextElement(sign, "VerifyResult", std::to_string(results[index]));
    const provider::ByteView cert = PieceOf(info.SignerCert);
    AddTextElement(sign, "VerifyCertCode",
                   std::to_string(provider::Invoke<ZK_EXPORT(ZKLCTX_CheckSignatureCertificate)>(ORIGINAL_SITE, cert,
                                                                                               provider::ByteView())));
    AppendSignatureElements(sign, info);
    ProviderCertInfo described{};
    std::vector<std::string> eku;
    if (ReadCertInfo(cert.data(), cert.size(), described, eku, ORIGINAL_SITE) != 0) return;
    tinyxml2::XMLElement* certInfo = sign->InsertNewChildElement("CertInfo");
    AppendCertDetails(certInfo, described, {});
    if (ocsp.enabled) {
        // The certificates the container carries may hold the signer's issuer.
        const RequestCertsScope carried(ListPieces(info.Certs));
        AppendSignerOcspCheck(certInfo, ocsp, cert, described);
    }
}

}  // namespace

bool CtxGetOriginalCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                           std::string& answer) {
    OcspCheckParams ocsp;
    if (!ReadOcspCheckParams(params, ocsp)) return false;
    RecipientParams recipient = ReadRecipientParams(params);
    const bool acquireDecrypted = ChildIsTrue(params, "AcquireDecrypted");
    const bool acquireSigned = ChildIsTrue(params, "AcquireSigned");

    DocumentBuffer input = DecodeDocument(data);
    provider::ByteView current = input.view();
    int32_t type = 0;
    int code = provider::Invoke<ZK_EXPORT(ZKLCTX_GetEnvelopeType)>(ORIGINAL_SITE, current, &type);

    // An envelope: its recipients, then the container inside it.
    std::vector<ProviderCertInfo> recipients;
    OpenedEnvelope opened;
    bool decrypted = false;
    if (code == 0 && type == kTypeEnvelope) {
        code = provider::CtxEnumerateRecipients(ORIGINAL_SITE, current, recipients);
        if (code == 0) {
            opened = OpenEnvelope(recipient, current, &recipients, ORIGINAL_SITE);
            code = opened.code;
        }
        if (code == 0) {
            decrypted = true;
            input.Release();
            current = opened.plain.view();
            type = 0;
            code = provider::Invoke<ZK_EXPORT(ZKLCTX_GetEnvelopeType)>(ORIGINAL_SITE, current, &type);
        }
    }
    if (code == 0 && type != kTypeSigned) code = ZK_E_DAMAGED;

    std::vector<int32_t> results;
    provider::ContainerDescriptions described;
    if (code == 0) code = provider::CtxVerify(ORIGINAL_SITE, current, nullptr, results);
    if (code == 0) code = provider::CtxGetContainerInfos(ORIGINAL_SITE, current, described);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = nullptr;
    if (code == 0 && !described.infos.empty()) {
        out = BuildXMLHead(doc, command, ZK_E_OK, opened.detail);
        if (acquireSigned && !current.empty())
            AddTextElement(out, "Signed", Base64Encode(current.data(), current.size()));
        AppendContentElements(out, described.infos[0]);
        tinyxml2::XMLElement* signs = out->InsertNewChildElement("Signs");
        for (size_t i = 0; i < described.infos.size(); ++i) AppendSign(signs, i, described.infos[i], results, ocsp);
    } else {
        out = BuildXMLHead(doc, command, code, opened.detail);
        if (acquireDecrypted && decrypted)
            AddTextElement(out, "Decrypted", Base64Encode(opened.plain.data(), opened.plain.size()));
    }
    if (!recipients.empty()) AppendRecipients(out, recipients);
    answer = PrintDocument(doc);
    return true;
}

}  // namespace zk
