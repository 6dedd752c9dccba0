#include "commands/containers/InspectCommands.h"

#include <cstring>
#include <vector>

#include "base/CBase64.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"
#include "commands/containers/ContainerInfoXml.h"
#include "commands/containers/ContainerParams.h"
#include "commands/signer/SignerLocator.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kOidTextSize = 1024;

std::string BytesAnswer(const char* command, int code, const std::vector<uint8_t>& bytes) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code);
    return code == 0 ? PrintDocumentWithBase64(doc, holder, bytes.data(), bytes.size()) : PrintDocument(doc);
}

// Results/Result Num="i" with each signature's code.
std::string VerifyAnswer(const char* command, int code, const std::vector<int32_t>& results) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* data = BuildXMLHead(doc, command, code);
    if (code == 0) {
        tinyxml2::XMLElement* list = data->InsertNewChildElement("Results");
        for (size_t i = 0; i < results.size(); ++i) {
            tinyxml2::XMLElement* r = AddTextElement(list, "Result", std::to_string(results[i]));
            r->SetAttribute("Num", static_cast<int>(i));
        }
    }
    return PrintDocument(doc);
}

}  // namespace

bool CtxGetContainerInfoCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "SignIndex");
    if (!index) return false;
    provider::ContainerDescription description;
    const int code = provider::CtxGetContainerInfo(ZK_SITE("CtxGetContainerInfoCommand"),
                                                   TakeRequestDocument(data).view(), *index, description);
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* out = BuildXMLHead(doc, command, code);
    if (code == 0) {
        if (!ChildIsTrue(params, "SkipContent")) AppendContentElements(out, description.info);
        AppendSignatureElements(out, description.info);
    }
    answer = PrintDocument(doc);
    return true;
}

bool CtxVerifySignsCommand(const char* command, const tinyxml2::XMLElement*, const char* data, std::string& answer) {
    std::vector<int32_t> results;
    const int code =
        provider::CtxVerify(ZK_SITE("CtxVerifySignsCommand"), TakeRequestDocument(data).view(), nullptr, results);
    answer = VerifyAnswer(command, code, results);
    return true;
}

bool CtxVerifyExternalSignsCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                                   std::string& answer) {
    const std::vector<uint8_t> content = Base64Decode(ChildText(params, "Content"));
    if (content.empty()) return false;
    const provider::ByteView view(content);
    std::vector<int32_t> results;
    const int code =
        provider::CtxVerify(ZK_SITE("CtxVerifyExternalSignsCommand"), TakeRequestDocument(data).view(), &view, results);
    answer = VerifyAnswer(command, code, results);
    return true;
}

bool CtxGetSignerCertCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                             std::string& answer) {
    const std::optional<int32_t> index = ReadIndex(params, "CertIndex");
    if (!index) return false;
    std::vector<uint8_t> cert;
    const int code = provider::CtxGetSignedDataCertificate(ZK_SITE("CtxGetSignerCertCommand"),
                                                           TakeRequestDocument(data).view(), *index, cert);
    answer = BytesAnswer(command, code, cert);
    return true;
}

bool CtxVerifyCertSignCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                              std::string& answer) {
    const std::vector<uint8_t> issuer = Base64Decode(ChildText(params, "IssuerCert"));
    const int code = provider::Invoke<ZK_EXPORT(ZKLCTX_CheckSignatureCertificate)>(
        ZK_SITE("CtxVerifyCertSignCommand"), TakeRequestDocument(data).view(), issuer);
    answer = SimpleAnswer(command, code);
    return true;
}

bool CtxGetHashCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                       std::string& answer) {
    const SignerParams signer = ReadSignerParams(params, 0);
    const std::string algOid = ParamText(LastChild(params, "HashAlgOID"), kOidTextSize);
    std::vector<uint8_t> cert = signer.senderCert ? *signer.senderCert : std::vector<uint8_t>();
    int code = 0;
    // The certificate decides the hash only when no algorithm is named.
    if (algOid.empty() && cert.empty() && (!signer.drfo.empty() || !signer.serial.empty()))
        code = FindCertificateOnly(signer, cert);
    std::vector<uint8_t> hash;
    if (code == 0)
        code = provider::CtxHash(ZK_SITE("CtxGetHashCommand"), TakeRequestDocument(data).view(), algOid, cert, hash);
    answer = BytesAnswer(command, code, hash);
    return true;
}

}  // namespace zk
