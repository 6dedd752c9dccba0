#include "zelkord/EnvelopeParties.h"

#include "zelkord/Errors.h"
#include "zelkord/PrivateKey.h"

namespace zkd {

int SenderEnvelope::Prepare(const ZKBlob* recipients, int32_t count, const uint8_t* senderCert,
                            uint32_t senderCertLen) {
    if (!recipients || count <= 0 || count > kMaxEnvelopeRecipients || !senderCert)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing recipients or sender");
    owned_.clear();
    for (int32_t i = 0; i < count; ++i) {
        X509Ptr x = ParseCertificate(recipients[i].data, recipients[i].length);
        if (!x) return Fail(ZK_E_CERT_INFO, "recipient " + std::to_string(i) + ": the certificate cannot be read");
        owned_.push_back(std::move(x));
    }
    sender_ = ParseCertificate(senderCert, senderCertLen);
    if (!sender_) return Fail(ZK_E_CERT_INFO, "the sender's certificate cannot be read");
    recipe_ = EnvelopeRecipe{};
    for (const X509Ptr& x : owned_) recipe_.recipients.push_back(x.get());
    recipe_.originatorCerts.push_back(sender_.get());
    recipe_.originatorCerts.insert(recipe_.originatorCerts.end(), recipe_.recipients.begin(),
                                   recipe_.recipients.end());
    return ZK_E_OK;
}

int SenderEnvelope::Write(const uint8_t* data, size_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                          uint8_t* out, size_t cap, size_t& written) const {
    written = 0;
    PrivateKey senderKey;
    if (int rc = OpenPrivateKey(key, keyLen, pass, sender_.get(), senderKey)) return rc;
    return WriteEnvelope(data, len, recipe_, out, cap, written);
}

int ReadEnvelopeFor(const uint8_t* envelope, size_t len, const uint8_t* cert, uint32_t certLen,
                    EnvelopeReader& reader, X509Ptr& recipient) {
    recipient = ParseCertificate(cert, certLen);
    if (!recipient) return Fail(ZK_E_CERT_INFO, "the recipient's certificate cannot be read");
    if (int rc = reader.Parse(envelope, len)) return rc;
    if (!reader.IsRecipient(recipient.get()))
        return Fail(ZK_E_KEY_MISMATCH, "the envelope is not encrypted for this certificate");
    return ZK_E_OK;
}

int OpenEnvelopeFor(const uint8_t* envelope, size_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                    const uint8_t* cert, uint32_t certLen, uint8_t* out, uint32_t* outLen) {
    EnvelopeReader reader;
    X509Ptr recipient;
    if (int rc = ReadEnvelopeFor(envelope, len, cert, certLen, reader, recipient)) return rc;
    PrivateKey opened;
    if (int rc = OpenPrivateKey(key, keyLen, pass, recipient.get(), opened)) return rc;
    size_t written = 0;
    if (int rc = reader.Decrypt(opened.get(), recipient.get(), out, *outLen, written)) return rc;
    *outLen = static_cast<uint32_t>(written);
    return ZK_E_OK;
}

}  // namespace zkd
