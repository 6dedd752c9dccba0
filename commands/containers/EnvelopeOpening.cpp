#include "commands/containers/EnvelopeOpening.h"

#include <algorithm>
#include <cstring>

#include "base/CBase64.h"
#include "base/Params.h"
#include "base/RequestContext.h"

namespace zk {
namespace {

std::string FieldText(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

std::optional<std::vector<uint8_t>> BytesParam(const tinyxml2::XMLElement* params, const char* name) {
    std::string text = ChildText(params, name);
    if (text.empty()) return std::nullopt;
    std::vector<uint8_t> bytes = Base64Decode(text);
    SecureWipe(text);
    return bytes;
}

// Rule 3 without a token: each recipient in envelope order through the
// certificate list and the key files.
SignerLocation TryEachRecipient(SignerParams& p, const std::vector<ProviderCertInfo>& recipients) {
    SignerLocation loc;
    bool tried = false;
    for (const ProviderCertInfo& r : recipients) {
        p.serial = FieldText(r.Serial, sizeof r.Serial);
        p.issuerSN = FieldText(r.IssuerSN, sizeof r.IssuerSN);
        p.sn = FieldText(r.SN, sizeof r.SN);
        if (p.serial.empty() && p.issuerSN.empty() && p.sn.empty()) continue;  // nothing to find it by
        tried = true;
        loc = LocateSigner(p);
        if (loc.code == 0) return loc;
    }
    if (tried) return loc;
    p.serial.clear();
    p.issuerSN.clear();
    p.sn.clear();
    return LocateSigner(p);
}

}  // namespace

RecipientParams ReadRecipientParams(const tinyxml2::XMLElement* params) {
    RecipientParams r;
    r.key = ReadSignerParams(params, 0);
    r.key.lib = "QLB";  // the container commands locate files with the one library
    if (r.key.senderCert) r.originatorCert = std::move(*r.key.senderCert);
    r.key.senderCert.reset();
    r.key.senderKey.reset();  // SenderSK is no key of the recipient
    r.recipientCert = BytesParam(params, "RecipientCert");
    if (auto key = BytesParam(params, "RecipientSK")) r.recipientKey = SecretBytes(std::move(*key));
    return r;
}

SignerLocation LocateRecipientKey(RecipientParams& params, provider::ByteView envelope,
                                  const std::vector<ProviderCertInfo>* recipients) {
    SignerParams& p = params.key;
    const bool token = !p.dongleProvider.empty();
    if (params.recipientCert && (params.recipientKey || token)) {  // rules 1 and 2
        p.senderCert = params.recipientCert;
        if (params.recipientKey) p.senderKey = std::move(params.recipientKey);
        return LocateSigner(p);
    }
    if (!p.drfo.empty() || !p.serial.empty()) return LocateSigner(p);  // rule 4

    std::vector<ProviderCertInfo> listed;
    if (!recipients) {
        // Data that is no envelope is not worth a key search (nor a password try).
        if (int code = provider::CtxEnumerateRecipients(ZK_SITE("LocateRecipientKey"), envelope, listed)) {
            SignerLocation none;
            none.code = code;
            return none;
        }
        recipients = &listed;
    }
    if (!token) return TryEachRecipient(p, *recipients);
    for (const ProviderCertInfo& r : *recipients)
        p.oneOf.push_back({FieldText(r.Serial, sizeof r.Serial), FieldText(r.IssuerSN, sizeof r.IssuerSN),
                           FieldText(r.SN, sizeof r.SN)});
    if (p.oneOf.empty()) {  // nobody to look for: no record can be one of them
        SignerLocation none;
        none.code = ZK_E_NO_CERT_FILE;
        return none;
    }
    return LocateSigner(p);
}

OpenedEnvelope OpenEnvelope(RecipientParams& params, provider::ByteView envelope,
                            const std::vector<ProviderCertInfo>* recipients, const provider::Site& site,
                            std::span<uint8_t> overwrite) {
    OpenedEnvelope out;
    SignerLocation key = LocateRecipientKey(params, envelope, recipients);
    out.code = key.code;
    out.detail = key.detail;
    std::vector<uint8_t> originator = params.originatorCert;
    if (out.code == 0 && originator.empty())
        out.code = provider::CtxGetOriginatorCertificate(site, envelope, 0, originator);
    // What is decrypted is no longer than its envelope.
    if (out.code == 0 && overwrite.empty() && !ChargeRequestOutput(envelope.size())) out.code = ZK_E_DAMAGED;
    if (out.code == 0 && !overwrite.empty()) {
        provider::Overwrite place{overwrite};
        out.code = provider::Invoke<ZK_EXPORT(ZKLCTX_DecryptData)>(site, envelope, key.Key(), key.password.c_str(),
                                                                   provider::ByteView(originator), key.cert, place);
        out.inPlace = out.code == 0 ? std::min<size_t>(place.written, overwrite.size()) : 0;
    } else if (out.code == 0) {
        out.code = provider::CtxDecryptData(site, envelope, key.Key(), key.password.c_str(), originator, key.cert,
                                            out.plain);
    }
    key.DisconnectToken();
    return out;
}

}  // namespace zk
