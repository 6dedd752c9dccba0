// Envelopes of the protected documents: encryption for one recipient (slot
// 17) and for several (slot 49) in the frame of the sender's crypto library,
// decryption (slot 18, and ZKLUA1_Decrypt for a block behind the sender
// certificate header), and the recipients an envelope names (slots 50, 53).
#include <openssl/err.h>

#include <climits>
#include <cstring>

#include "zelkord/Blocks.h"
#include "zelkord/Context.h"
#include "zelkord/Envelope.h"
#include "zelkord/EnvelopeParties.h"
#include "zelkord/Errors.h"
#include "zelkord/Output.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

int Encrypt(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
            const ZKBlob* recipients, int32_t count, const uint8_t* key, ZKKeyLen keyLen, const uint8_t* senderCert,
            uint32_t senderCertLen, const char* pass) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!outLen || (!data && len)) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data or output length");
    SenderEnvelope envelope;
    if (int rc = envelope.Prepare(recipients, count, senderCert, senderCertLen)) return rc;
    const Context* c = static_cast<const Context*>(ctx);
    const Bytes frame =
        FrameHeader(FrameOfLibrary(c->libs[static_cast<size_t>(lib)].code), envelope.sender(), envelope.recipients());
    const size_t bound = frame.size() + envelope.SizeBound(len);
    if (bound > UINT32_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
    if (!out) {
        *outLen = static_cast<uint32_t>(bound);
        return ZK_E_OK;
    }
    if (*outLen < frame.size()) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
    if (!frame.empty()) std::memcpy(out, frame.data(), frame.size());
    size_t written = 0;
    if (int rc = envelope.Write(data, len, key, keyLen, pass, out + frame.size(), *outLen - frame.size(), written))
        return rc;
    *outLen = static_cast<uint32_t>(frame.size() + written);
    return ZK_E_OK;
}

int EncryptOne(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
               const uint8_t* recipientCert, uint32_t recipientCertLen, const uint8_t* key, ZKKeyLen keyLen,
               const uint8_t* senderCert, uint32_t senderCertLen, const char* pass) {
    const ZKBlob recipient{const_cast<uint8_t*>(recipientCert), recipientCertLen};
    return Encrypt(ctx, lib, data, len, out, outLen, &recipient, 1, key, keyLen, senderCert, senderCertLen, pass);
}

int EncryptMany(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
                const ZKBlob* recipients, int32_t count, const uint8_t* key, ZKKeyLen keyLen, const uint8_t* senderCert,
                uint32_t senderCertLen, const char* pass, int32_t) {
    return Encrypt(ctx, lib, data, len, out, outLen, recipients, count, key, keyLen, senderCert, senderCertLen, pass);
}

// The size call of a decryption: the plaintext is never longer than its block.
int DecryptionBound(uint32_t len, uint32_t* outLen) {
    if (len == 0) return Fail(ZK_E_DAMAGED, "the envelope is empty");
    *outLen = len;
    return ZK_E_OK;
}

// out may be data itself: the frame and the envelope's structure are read
// first, and the plaintext is written from the block's start behind the
// ciphertext being read (OpenEnvelopeFor).
int Decrypt(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
            const uint8_t* senderCert, uint32_t senderCertLen, const uint8_t* recipientCert, uint32_t recipientCertLen,
            const uint8_t* key, ZKKeyLen keyLen, const char* pass) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!outLen || !data || !recipientCert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data, recipient or output length");
    if (!out) return DecryptionBound(len, outLen);
    // The sender's certificate is not needed to decrypt, but one that is
    // given (before the block or in its frame) must be a certificate.
    if (senderCert && !ParseCertificate(senderCert, senderCertLen))
        return Fail(ZK_E_CERT_INFO, "the sender's certificate cannot be read");
    EnvelopeBlock block;
    if (int rc = ReadEnvelopeBlock(data, len, block)) return rc;
    if (block.sender && !ParseCertificate(block.sender, block.senderLen))
        return Fail(ZK_E_DAMAGED, "the sender's certificate in the envelope's frame cannot be read");
    return OpenEnvelopeFor(block.envelope, block.envelopeLen, key, keyLen, pass, recipientCert, recipientCertLen, out,
                        outLen);
}

int DecryptBehindHeader(const uint8_t* data, uint32_t len, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                        const uint8_t* cert, uint32_t certLen, uint8_t* out, uint32_t* outLen) {
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!outLen || !data || !cert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data, certificate or output length");
    if (!out) return DecryptionBound(len, outLen);
    const uint8_t* sender = nullptr;
    const uint8_t* rest = nullptr;
    size_t senderLen = 0, restLen = 0;
    if (int rc = ReadCertCryptHeader(data, len, sender, senderLen, rest, restLen)) return rc;
    if (!ParseCertificate(sender, senderLen)) return Fail(ZK_E_CERT_INFO, "the sender's certificate cannot be read");
    return OpenEnvelopeFor(rest, restLen, key, keyLen, pass, cert, certLen, out, outLen);
}

// The envelope inside its frame, parsed.
int ReadRecipients(const uint8_t* envelope, uint32_t len, EnvelopeReader& reader) {
    EnvelopeBlock block;
    if (int rc = ReadEnvelopeBlock(envelope, len, block)) return rc;
    return reader.Parse(block.envelope, block.envelopeLen);
}

int RecipientCerts(ZKLDContext, const uint8_t* envelope, uint32_t len, ZKBlob* certs, int32_t* count) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
    EnvelopeReader reader;
    if (int rc = ReadRecipients(envelope, len, reader)) return rc;
    const size_t n = reader.RecipientCount();
    bool any = false;
    for (size_t i = 0; i < n; ++i) any = any || reader.RecipientCert(i);
    if (!any) return Fail(ZK_E_NO_CERT_FILE, "the envelope carries no recipient's certificate");
    if (!certs) {
        *count = static_cast<int32_t>(n);
        return ZK_E_OK;
    }
    const size_t room = *count > 0 ? std::min(n, static_cast<size_t>(*count)) : 0;
    for (size_t i = 0; i < room; ++i) {
        uint32_t size = certs[i].length;
        certs[i].length = 0;
        X509* x = reader.RecipientCert(i);
        if (!x) continue;
        unsigned char* der = nullptr;
        const int derLen = i2d_X509(x, &der);
        const int rc = derLen > 0 ? PutOutput(der, static_cast<size_t>(derLen), certs[i].data, &size)
                                  : Fail(ZK_E_CERT_INFO, "a recipient's certificate cannot be encoded");
        OPENSSL_free(der);
        if (rc) return rc;
        certs[i].length = size;
    }
    *count = static_cast<int32_t>(room);
    return ZK_E_OK;
}

int RecipientInfos(ZKLDContext, const uint8_t* envelope, uint32_t len, ProviderCertInfo* infos, int32_t* count) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
    EnvelopeReader reader;
    if (int rc = ReadRecipients(envelope, len, reader)) return rc;
    const size_t n = reader.RecipientCount();
    if (!infos) {
        *count = static_cast<int32_t>(n);
        return ZK_E_OK;
    }
    const size_t room = *count > 0 ? std::min(n, static_cast<size_t>(*count)) : 0;
    for (size_t i = 0; i < room; ++i) reader.DescribeRecipient(i, infos[i]);
    *count = static_cast<int32_t>(room);
    return ZK_E_OK;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_ENCRYPT, EncryptOne);
ZKD_SLOT(ZKLD_SLOT_ENCRYPT_MANY, EncryptMany);
ZKD_SLOT(ZKLD_SLOT_DECRYPT, Decrypt);
ZKD_SLOT(ZKLD_SLOT_RECIPIENT_CERTS, RecipientCerts);
ZKD_SLOT(ZKLD_SLOT_RECIPIENT_INFOS, RecipientInfos);
ZKD_EXPORT(ZKLUA1_Decrypt, DecryptBehindHeader);

}  // namespace zkd
