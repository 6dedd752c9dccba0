// A container (CMS SignedData) as an editable list of its parts. Every
// certificate, revocation entry and SignerInfo is kept as the bytes it was
// read with, in the order it was read, so an edit (a signer appended or
// removed, containers merged, the content detached or attached, an unsigned
// attribute added to one signer) re-encodes only the structure around them:
// every other signature stays byte for byte, and signature i stays signature
// i. OpenSSL's own CMS encoder cannot do this: it sorts the SignerInfos (DER
// SET OF order) and so renumbers signatures on every re-encoding.
//
// Reading signers, attributes and verifying them is done on the OpenSSL CMS
// structure (zelkord/SignedData.h); both read the SignerInfos in the order
// they are written, so an index means the same signer in both.
#pragma once
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"

namespace zkd {

struct ZKD_RAW_CI;  // the ContentInfo template (RawSignedData.cpp)

class RawSignedData {
public:
    RawSignedData();
    RawSignedData(RawSignedData&&) noexcept;
    RawSignedData& operator=(RawSignedData&&) noexcept;
    ~RawSignedData();

    // Reads DER (or BER) SignedData that fills data exactly: 0; else
    // ForeignDataCode, 10 when a SignerInfo is no SEQUENCE, 9 when it is
    // beyond the provider's limits (WithinLimits).
    int Parse(const uint8_t* data, size_t len);

    int SignerCount() const;
    // At most kMaxSigners signers and kMaxContainerCerts certificates and
    // revocation entries each.
    bool WithinLimits() const;
    // The DER of SignerInfo i as read (0 <= i < SignerCount()).
    const uint8_t* SignerBytes(int i, size_t* len) const;
    void RemoveSigner(int i);
    // Takes every signer, certificate, revocation entry and digest algorithm
    // of other that this one lacks (a signer already present byte for byte is
    // not taken twice), and the greater version. The content is not touched.
    void MergeFrom(const RawSignedData& other);

    // The content type and the attached content (nullptr when detached).
    const ASN1_OBJECT* ContentType() const;
    const ASN1_OCTET_STRING* Content() const;
    void Detach();
    // Attaches a copy of other's content (this one being detached).
    void AttachContentOf(const RawSignedData& other);
    // The DER length of the container, and its encoding into out (room for
    // EncodedLength() bytes). With lent content the container is encoded as
    // if that content were attached, without copying it: the caller's bytes
    // are read during the call only.
    size_t EncodedLength(const uint8_t* lentContent = nullptr, size_t lentLen = 0) const;
    void Encode(uint8_t* out, const uint8_t* lentContent = nullptr, size_t lentLen = 0) const;

    // Adds an unsigned attribute (type, one value given as its DER) to signer
    // i; the signer's other parts keep their bytes. 0, or 10 when the value
    // is not one DER element or the SignerInfo cannot be read.
    int AddUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len);
    // The same, but an attribute of that type the signer already has is
    // replaced where it stands (attributes that may occur once).
    int SetUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len);

private:
    int PutUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len, bool replace);
    ZKD_RAW_CI* ci_ = nullptr;
};

// The code for bytes that are not a container: 9 when they are one
// well-formed DER element of another kind (an envelope, a certificate), 10
// when they are not (garbage, a truncated container).
int ForeignDataCode(const uint8_t* data, size_t len);

// The most signers one container may hold (verification reports one result
// per signer into a list of this size), and the most certificates (and
// revocation entries) it may carry: chain building looks through them for
// every signer.
constexpr int kMaxSigners = ZK_VERIFY_MAX_RESULTS;
constexpr int kMaxContainerCerts = 1024;

}  // namespace zkd
