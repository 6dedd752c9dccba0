// A kept key signs one small document after another with one certificate (a
// page signing many documents with a kept password). Building each SignedData
// through OpenSSL's CMS layer costs more than the signature itself, yet from
// one signature to the next only the message digest, the signing time and
// the signature value change. A template is made from one signature that
// OpenSSL's CMS layer made with the key and the certificate (SignContent
// without optional attributes): it keeps the DER of every part that stays
// the same and assembles each new SignedData around the new values, giving
// the bytes the CMS layer would give (the template checks this on its own
// first signature before it is used, and a test compares the two with an RSA
// key and a fixed signing time).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/Der.h"
#include "zelkord/Ossl.h"

namespace zkd {

class SignatureTemplate {
public:
    // nullptr when the key is neither an EC nor an RSA key, or OpenSSL's
    // signature does not have the layout the template knows (the caller then
    // signs the usual way).
    static std::unique_ptr<const SignatureTemplate> Make(X509* cert, EVP_PKEY* key);

    // Whether the template was made for this certificate (its DER).
    bool IsFor(const uint8_t* cert, size_t certLen) const;

    // As SignContent and EncodeSignedData with no optional attributes but the
    // signing time (seconds since 1970; 0: now), with the key the template
    // was made with: the DER into out (room *outLen, set to the length
    // written). 0; 56 when out is too small; 8 when signing fails.
    int Sign(const uint8_t* data, size_t len, int64_t signingTime, bool attached, EVP_PKEY* key, uint8_t* out,
             uint32_t* outLen) const;

private:
    SignatureTemplate() = default;
    // The DER of a SignedData with these values: head + content + tail
    // (without content: head + tail).
    bool Assemble(size_t contentLen, bool attached, const Bytes& signedAttrs, const Bytes& signature,
                  zk::der::ContentFrame& out) const;
    // The signed attributes (their SET's contents, in DER order) with these values.
    Bytes AttributesWith(const uint8_t* digest, size_t digestLen, const Bytes& time) const;

    Bytes cert_;  // the certificate's DER
    const EVP_MD* md_ = nullptr;
    // Whole elements, as OpenSSL wrote them.
    Bytes infoType_, version_, digestAlgorithms_, contentType_, certificates_;
    Bytes signerVersion_, signerId_, signerDigest_, signatureAlgorithm_;
    Bytes contentTypeAttr_, certificateAttr_;  // attributes that stay the same
    Bytes timeType_, digestType_;              // the object identifiers of the two that change
};

}  // namespace zkd
