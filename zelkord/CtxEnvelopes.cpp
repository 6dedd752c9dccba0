// The envelopes of the container family (ZKLCTX_): bare CMS EnvelopedData,
// without the frames of the protected documents.
//
// - Made for the recipients in the order given (each by issuer and serial
//   number), AES-256; originatorInfo carries the sender's certificate and
//   then every recipient's.
// - Opened for one recipient with the key of its certificate; recipients
//   named by issuer and serial number or by subject key identifier (other
//   tools write both) are found alike.
// - The originator certificates are listed with the sender first. A DER SET
//   may be re-encoded in sorted order by whoever handles the envelope, so
//   the sender is recognised by what it is, not by its place: the
//   certificate that belongs to no recipient, else (the sender encrypted for
//   itself too) the certificate the envelope carries twice, else the first.
// - Codes of the envelope itself: 10 damaged, 9 another kind of CMS (a
//   signed container), 6 not for this certificate, 13 the content does not
//   decrypt.
#include <climits>
#include <cstring>

#include "zelkord/Blocks.h"
#include "zelkord/Envelope.h"
#include "zelkord/EnvelopeParties.h"
#include "zelkord/Errors.h"
#include "zelkord/Output.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

// Envelope types of GetEnvelopeType.
constexpr int32_t kTypeUnknown = 0;
constexpr int32_t kTypeSigned = 1;
constexpr int32_t kTypeEnvelope = 2;

// doc may lie inside out's room, at least (bound - len) bytes after out,
// bound being what the call without a buffer reported: the envelope's head
// is written first and is shorter than that distance, and each piece of
// ciphertext is written after the plaintext it comes from was read, so the
// envelope never overtakes the document.
int EncryptDataForRecipients(const uint8_t* doc, uint32_t len, const uint8_t* senderCert, uint32_t senderCertLen,
                             const uint8_t* key, ZKKeyLen keyLen, const char* pass, const ZKBlob* recipients,
                             int32_t count, uint8_t* out, uint32_t* outLen) {
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!outLen || (!doc && len)) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing document or output length");
    SenderEnvelope envelope;
    if (int rc = envelope.Prepare(recipients, count, senderCert, senderCertLen)) return rc;
    const size_t bound = envelope.SizeBound(len);
    if (bound > UINT32_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
    if (!out) {
        *outLen = static_cast<uint32_t>(bound);
        return ZK_E_OK;
    }
    size_t written = 0;
    if (int rc = envelope.Write(doc, len, key, keyLen, pass, out, *outLen, written)) return rc;
    *outLen = static_cast<uint32_t>(written);
    return ZK_E_OK;
}

// The call without a buffer reads the envelope's structure (not its
// content) and reports the envelope's length: the plaintext is never longer.
// out may be the envelope itself (with room for len bytes): its structure is
// read (and copied) before anything is written, and the plaintext is then
// written from the envelope's start while the ciphertext, which lies further
// on, is read in order, so no byte is written before it has been read.
int DecryptData(const uint8_t* envelope, uint32_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                const uint8_t* originatorCert, uint32_t originatorCertLen, const uint8_t* recipientCert,
                uint32_t recipientCertLen, uint8_t* out, uint32_t* outLen) {
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!outLen || !recipientCert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing recipient or output length");
    // Not needed to decrypt, but one that is given must be a certificate.
    if (originatorCert && originatorCertLen && !ParseCertificate(originatorCert, originatorCertLen))
        return Fail(ZK_E_CERT_INFO, "the originator's certificate cannot be read");
    if (!out) {
        EnvelopeReader reader;
        X509Ptr recipient;
        if (int rc = ReadEnvelopeFor(envelope, len, recipientCert, recipientCertLen, reader, recipient)) return rc;
        *outLen = len;
        return ZK_E_OK;
    }
    return OpenEnvelopeFor(envelope, len, key, keyLen, pass, recipientCert, recipientCertLen, out, outLen);
}

int GetEnvelopeType(const uint8_t* block, uint32_t len, int32_t* type) {
    if (!type) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing type");
    if (!block || len == 0) return Fail(ZK_E_BUFFER_EMPTY, "the data is empty");
    switch (CmsContentKind(block, len)) {
        case ZK_BLOCK_ENVELOPE:
            *type = kTypeEnvelope;
            break;
        case ZK_BLOCK_SIGNED:
            *type = kTypeSigned;
            break;
        default:
            *type = kTypeUnknown;
    }
    return ZK_E_OK;
}

// The originator certificates with the sender first (see the top), the rest
// in the order the envelope writes them.
std::vector<X509*> SenderFirst(const EnvelopeReader& reader) {
    std::vector<X509*> certs = reader.OriginatorCerts();
    size_t sender = certs.size();
    for (size_t i = 0; i < certs.size() && sender == certs.size(); ++i)
        if (!reader.IsRecipient(certs[i])) sender = i;
    for (size_t i = 0; i < certs.size() && sender == certs.size(); ++i)
        for (size_t j = i + 1; j < certs.size(); ++j)
            if (X509_cmp(certs[i], certs[j]) == 0) {
                sender = i;
                break;
            }
    if (sender < certs.size()) {
        X509* s = certs[sender];
        certs.erase(certs.begin() + static_cast<long>(sender));
        certs.insert(certs.begin(), s);
    }
    return certs;
}

int GetOriginatorCertificate(const uint8_t* envelope, uint32_t len, int32_t index, uint8_t* out, uint32_t* outLen) {
    EnvelopeReader reader;
    if (int rc = reader.Parse(envelope, len)) return rc;
    const std::vector<X509*> certs = SenderFirst(reader);
    if (certs.empty()) return Fail(ZK_E_NO_CERT_FILE, "the envelope carries no originator certificate");
    if (index < 0 || static_cast<size_t>(index) >= certs.size())
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "certificate index out of range");
    unsigned char* der = nullptr;
    const int derLen = i2d_X509(certs[static_cast<size_t>(index)], &der);
    const int rc = derLen > 0 ? PutOutput(der, static_cast<size_t>(derLen), out, outLen)
                              : Fail(ZK_E_CERT_INFO, "the certificate cannot be encoded");
    OPENSSL_free(der);
    return rc;
}

int EnumerateRecipients(const uint8_t* envelope, uint32_t len, ProviderCertInfo* infos, int32_t* count) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
    EnvelopeReader reader;
    if (int rc = reader.Parse(envelope, len)) return rc;
    const size_t n = reader.RecipientCount();
    if (!infos) {
        *count = static_cast<int32_t>(n);
        return ZK_E_OK;
    }
    if (*count < 0 || static_cast<size_t>(*count) < n) {
        *count = static_cast<int32_t>(n);
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "room for fewer records than recipients");
    }
    for (size_t i = 0; i < n; ++i) reader.DescribeRecipient(i, infos[i]);
    *count = static_cast<int32_t>(n);
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLCTX_EncryptDataForRecipients, EncryptDataForRecipients);
ZKD_EXPORT(ZKLCTX_DecryptData, DecryptData);
ZKD_EXPORT(ZKLCTX_GetEnvelopeType, GetEnvelopeType);
ZKD_EXPORT(ZKLCTX_GetOriginatorCertificate, GetOriginatorCertificate);
ZKD_EXPORT(ZKLCTX_EnumerateRecipients, EnumerateRecipients);

}  // namespace zkd
