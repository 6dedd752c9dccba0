// CMS EnvelopedData, built and opened for every envelope the provider makes
// or reads (ENCRYPT's library formats, and the bare envelopes of the
// container commands). Content encryption is AES-256-CBC; an EC recipient
// gets a key agreement recipient (ephemeral-static ECDH, X9.63 KDF with
// SHA-256, AES key wrap), an RSA recipient a key transport recipient with
// RSA-OAEP (SHA-256, MGF1-SHA-256). originatorInfo carries the certificates
// the caller lists, in that order. Every envelope opens with
// "openssl cms -decrypt".
//
// The content is never copied inside the provider: building encrypts it
// straight into the caller's output, opening decrypts the ciphertext where
// it lies in the caller's bytes (when it is encoded as one primitive string,
// as this provider and OpenSSL write it) straight into the caller's output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"

namespace zkd {

// The most recipients one envelope is made for, or read with.
constexpr int32_t kMaxEnvelopeRecipients = 1024;

struct EnvelopeRecipe {
    std::vector<X509*> recipients;       // in order; each gets one recipient entry
    std::vector<X509*> originatorCerts;  // originatorInfo certificates, in order; none: no originatorInfo
    bool keyIdentifiers = false;         // identify recipients by subject key identifier, not issuer and serial
};

// An upper bound of the size of the envelope of len bytes (nothing is built).
size_t EnvelopeSizeBound(size_t len, const EnvelopeRecipe& recipe);

// Builds the envelope of content into out (room for cap bytes): 0 with the
// size written; 4 when a recipient's key can take no part in an envelope;
// 23 when the structure cannot be made.
int WriteEnvelope(const uint8_t* content, size_t len, const EnvelopeRecipe& recipe, uint8_t* out, size_t cap,
                  size_t& written);

// An envelope read from the caller's bytes, which must outlive it.
class EnvelopeReader {
public:
    // 0; 9 when the bytes are CMS of another kind, or name more than
    // kMaxEnvelopeRecipients recipients; 10 when they are damaged.
    int Parse(const uint8_t* der, size_t len);

    // The originatorInfo certificates, in order (owned by the reader).
    std::vector<X509*> OriginatorCerts() const;

    // Recipients in envelope order (key transport, and each key of a key
    // agreement entry; other kinds are not counted).
    size_t RecipientCount() const { return recipients_.size(); }
    // The recipient's certificate among the originatorInfo certificates, or null.
    X509* RecipientCert(size_t i) const;
    // What the envelope tells of the recipient: the whole certificate when
    // originatorInfo carries it, else its identifier (SN and IssuerSN, or
    // the key identifier as Serial). info must be zeroed by the caller.
    void DescribeRecipient(size_t i, ProviderCertInfo& info) const;
    // True when cert is one of the recipients.
    bool IsRecipient(X509* cert) const;

    // Decrypts for the recipient cert with its key into out (room for cap
    // bytes): 0 with the size written; 6 when cert is not a recipient; 13
    // when the content does not decrypt (damaged); 56 when the plaintext
    // does not fit in cap.
    int Decrypt(EVP_PKEY* key, X509* cert, uint8_t* out, size_t cap, size_t& written);

private:
    struct Recipient {
        CMS_RecipientInfo* info;
        CMS_RecipientEncryptedKey* key;  // for key agreement, else null
    };
    CmsPtr cms_;
    const uint8_t* ciphertext_ = nullptr;  // lent from the caller's bytes; null when cms_ holds it
    size_t ciphertextLen_ = 0;
    std::vector<Recipient> recipients_;
    CertStackPtr originators_;
};

}  // namespace zkd
