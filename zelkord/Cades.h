// CAdES-BES signatures: making one signer over a content with the signed
// attributes content type, message digest, signing time and signing
// certificate v2 (plus, when asked, a signature policy and a content
// timestamp), encoding the result, and reading those attributes back from
// any signer of a container.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"

namespace zkd {

// The optional signed attributes of a new signature.
struct SignedAttributes {
    int64_t signingTime = 0;                // seconds since 1970 (UTC); 0: the moment of signing
    ASN1_OBJECT* policyOid = nullptr;       // owned; nullptr: no signature policy
    std::string policyUri;                  // ASCII
    std::string policyNotice;               // UTF-8, 1 to 200 characters
    const uint8_t* contentTimestamp = nullptr;  // a TimeStampToken (DER), the caller's
    size_t contentTimestampLen = 0;

    SignedAttributes() = default;
    SignedAttributes(const SignedAttributes&) = delete;
    SignedAttributes& operator=(const SignedAttributes&) = delete;
    ~SignedAttributes();
};

// Reads the contract's AdditionalAttributes record (may be null: none): 0, or
// 56 with the reason as the last error when a value is malformed: a policy
// identifier that is neither a dotted object identifier nor its DER, a URI
// that is not ASCII, a notice that is not 1 to 200 UTF-8 characters, a
// policy URI or notice without a policy identifier, a content timestamp that
// is not a timestamp token.
int ReadAdditionalAttributes(const AdditionalAttributes* record, SignedAttributes& out);

// The digest a key signs with: SHA-384 and SHA-512 for EC keys of 384 and
// 521 bits, SHA-256 otherwise.
const EVP_MD* SignatureDigestFor(EVP_PKEY* key);

// A SignedData without content over data (len bytes, digested as they are
// read) with one signer, its certificate and the attributes. contentType is
// the content's type (nullptr: data). 0, 27 when the content timestamp was
// made over another content, 8 when signing fails.
int SignContent(const uint8_t* data, size_t len, X509* cert, EVP_PKEY* key, const SignedAttributes& attrs,
                const ASN1_OBJECT* contentType, CmsPtr& out);

// An upper bound of the DER of a SignedData made by SignContent: the content
// (when attached), the certificate and the attributes, plus room for the
// structure and a signature value of 16384 bits. Nothing is parsed.
size_t SignatureSizeBound(size_t contentLen, size_t certLen, const SignedAttributes& attrs);

// The DER of cms into out (room *outLen, set to the length written). With
// attached, data becomes the content for this encoding; its bytes are lent,
// never copied. 0, or 56 when out is too small.
int EncodeSignedData(CMS_ContentInfo* cms, const uint8_t* data, size_t len, bool attached, uint8_t* out,
                     uint32_t* outLen);

// --- reading the attributes of a signer

// The signing time (seconds since 1970), 0 when absent or unreadable.
int64_t SigningTimeOf(CMS_SignerInfo* si);

struct SignaturePolicy {
    std::string oid;     // dotted
    std::string uri;     // as written
    std::string notice;  // UTF-8
};
// False when the signer names no signature policy (or an unreadable one).
bool SignaturePolicyOf(CMS_SignerInfo* si, SignaturePolicy& out);

// The DER of the first value of a signed or unsigned attribute; empty when
// the signer has none.
Bytes SignedAttributeDer(CMS_SignerInfo* si, int nid);
Bytes UnsignedAttributeDer(CMS_SignerInfo* si, int nid);

// The validation data a signer carries in its unsigned attributes (CAdES
// certificate values and revocation values), each item as its DER:
// certificates, CRLs (CertificateList) and OCSP responses (BasicOCSPResponse).
struct ValidationData {
    std::vector<Bytes> certs, crls, ocsps;
};
ValidationData ValidationDataOf(CMS_SignerInfo* si);

}  // namespace zkd
