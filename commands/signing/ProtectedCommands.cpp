#include "commands/signing/ProtectedCommands.h"

#include <cstring>

#include "base/CBase64.h"
#include "base/Params.h"
#include "commands/Envelope.h"
#include "commands/protected/ProtectedData.h"
#include "commands/signer/SignerLocator.h"
#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "commands/protected/TransportHeaders.h"
#include "platform/CodePage.h"
#include "provider/Operations.h"

namespace zk {
namespace {

std::optional<std::vector<uint8_t>> BytesParam(const tinyxml2::XMLElement* params, const char* name) {
    std::string text = ChildText(params, name);
    if (text.empty()) return std::nullopt;
    return Base64Decode(text);
}

// The recipient's own key: RecipientSK or SenderSK, whichever comes last.
void ReadRecipientKey(const tinyxml2::XMLElement* params, SignerParams& p) {
    const tinyxml2::XMLElement* last = nullptr;
    for (const auto* e = params->FirstChildElement(); e; e = e->NextSiblingElement())
        if (NameEquals(e->Name(), "RecipientSK") || NameEquals(e->Name(), "SenderSK")) last = e;
    std::string text = ElementText(last);
    p.senderKey.reset();
    if (!text.empty()) p.senderKey = SecretBytes(Base64Decode(text));
    SecureWipe(text);
}

OpenRequest ReadOpenRequest(const tinyxml2::XMLElement* params) {
    OpenRequest r;
    r.key = ReadSignerParams(params, 0);
    ReadRecipientKey(params, r.key);
    r.recipientCert = BytesParam(params, "RecipientCert");
    return r;
}

// The listed recipients: those with a certificate or an identifier, numbered
// from 1; one without a certificate has no text and xsi:nil="true".
void AddRecipients(tinyxml2::XMLElement* data, const std::vector<RecipientEntry>& entries) {
    tinyxml2::XMLElement* list = data->InsertNewChildElement("Recipients");
    int num = 0;
    for (const RecipientEntry& e : entries) {
        if (e.cert.empty() && e.sk.empty() && e.sn.empty() && e.is.empty()) continue;
        tinyxml2::XMLElement* cert = list->InsertNewChildElement("Cert");
        cert->SetAttribute("Num", ++num);
        if (!e.sk.empty()) cert->SetAttribute("SK", e.sk.c_str());
        if (!e.sn.empty()) cert->SetAttribute("SN", e.sn.c_str());
        if (!e.is.empty()) cert->SetAttribute("IS", e.is.c_str());
        if (e.cert.empty())
            SetNil(cert);
        else
            cert->SetText(Base64Encode(e.cert.data(), e.cert.size()).c_str());
    }
}

// The plain document as Windows-1251 text up to its first zero byte, in UTF-8.
std::vector<uint8_t> TextToUtf8(std::span<const uint8_t> plain) {
    const auto* bytes = reinterpret_cast<const char*>(plain.data());
    const std::string utf8 = Cp1251ToUtf8(std::string_view(bytes, strnlen(bytes, plain.size())));
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

}  // namespace

bool EncryptCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    std::vector<std::vector<uint8_t>> recipients;
    for (const tinyxml2::XMLElement* e : Children(params, "Cert")) {
        const std::string text = ElementText(e);
        if (!text.empty()) recipients.push_back(Base64Decode(text));
    }
    const SignerParams signer = ReadSignerParams(params);
    if (recipients.empty() || !signer.Sufficient() || !signer.pass.present) return false;

    SignerLocation sender = LocateSigner(signer);
    int code = sender.code;
    for (size_t i = 0; code == 0 && i < recipients.size(); ++i) {
        ProviderCertInfo info{};
        std::vector<std::string> eku;
        code = ReadCertInfo(recipients[i].data(), recipients[i].size(), info, eku, ZK_SITE("EncryptCommand"));
    }
    provider::Output envelope;
    std::vector<uint8_t> framed;
    if (code == 0) {
        DocumentBuffer document = DecodeDocument(data);
        const char* pass = sender.password.c_str();
        if (recipients.size() == 1) {
            code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_ENCRYPT)>(ZK_SITE("EncryptCommand"), sender.libIndex,
                                                                  document.view(), envelope, recipients[0],
                                                                  sender.Key(), sender.cert, pass);
        } else {
            std::vector<provider::ByteView> views(recipients.begin(), recipients.end());
            code = provider::LibEncryptMany(ZK_SITE("EncryptCommand"), sender.libIndex, document.view(), views,
                                            sender.Key(), sender.cert, pass, envelope);
        }
        document.Release();  // wiped with the request's memory
        // The sender library's flag: the envelope travels behind the sender's certificate.
        if (code == 0 && provider::LibraryNeedsSenderCert(sender.libIndex)) {
            framed = CertCryptHeader(sender.cert);
            framed.insert(framed.end(), envelope.data(), envelope.data() + envelope.size());
            envelope.Release();
        }
    }
    sender.DisconnectToken();

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, code, sender.detail);
    answer = framed.empty() ? PrintDocumentWithBase64(doc, holder, std::move(envelope))
                            : PrintDocumentWithBase64(doc, holder, DocumentBuffer(std::move(framed), false).Share());
    return true;
}

bool GetOriginalCommand(const char* command, const tinyxml2::XMLElement* params, const char* data,
                        std::string& answer) {
    OpenRequest request = ReadOpenRequest(params);
    const bool toUtf8 = ChildIsTrue(params, "ToUTF8");
    const bool returnSigns = ChildIsTrue(params, "ReturnSigns");
    request.wantSigners = returnSigns;
    request.wantRecipients = true;
    OpenResult opened = OpenProtectedData(DecodeDocument(data), std::move(request));

    if (opened.code == 0 && toUtf8) opened.data = DocumentBuffer(TextToUtf8(opened.data.view()), true);

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, opened.code, opened.detail);
    const bool listed = returnSigns || !opened.recipients.empty();
    if (listed) {
        tinyxml2::XMLElement* data = holder;
        holder = nullptr;
        if (opened.code == 0) holder = data->InsertNewChildElement("Original");
        if (returnSigns && (opened.code == 0 || !opened.recipients.empty())) {
            tinyxml2::XMLElement* certs = data->InsertNewChildElement("Certs");
            int num = 0;
            for (const std::vector<uint8_t>& c : opened.signers) {
                if (c.empty()) continue;
                tinyxml2::XMLElement* cert = certs->InsertNewChildElement("Cert");
                cert->SetAttribute("Num", ++num);
                cert->SetText(Base64Encode(c.data(), c.size()).c_str());
            }
        }
        if (!opened.recipients.empty()) AddRecipients(data, opened.recipients);
    }
    answer = holder && opened.code == 0 ? PrintDocumentWithBase64(doc, holder, opened.data.Share()) : PrintDocument(doc);
    return true;
}

bool GetSignedCommand(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    OpenRequest request = ReadOpenRequest(params);
    request.signedLayer = true;
    request.keepTransportHeader = ChildIsTrue(params, "KeepTransHd");
    request.wantRecipients = true;
    OpenResult opened = OpenProtectedData(DecodeDocument(data), std::move(request));

    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* holder = BuildXMLHead(doc, command, opened.code, opened.detail);
    if (opened.code == 0) {
        answer = PrintDocumentWithBase64(doc, holder, opened.data.Share());
        return true;
    }
    if (!opened.recipients.empty()) AddRecipients(holder, opened.recipients);
    answer = PrintDocument(doc);
    return true;
}

bool CleanCommand(const char* command, const tinyxml2::XMLElement* params, const char*, std::string& answer) {
    CertFilter filter = ReadCertFilter(params, kFilterCodes);
    filter.Serial.clear();
    filter.IssuerSN.clear();
    filter.SN.clear();
    if (!filter.EDRPOU.empty() || !filter.DRFO.empty())
        CertListClear(&filter);
    else
        CertListClear();
    answer = SimpleAnswer(command, ZK_E_OK);
    return true;
}

}  // namespace zk
