// Reading and judging containers (CMS SignedData) on OpenSSL's CMS
// structure: the signers in the order the container writes them (signature
// index i is SignerInfo i everywhere: info, verification, removal, adding
// validation data), each signer's certificate, and the verification of each
// signer on its own. Edits go through zelkord/RawSignedData.h (same order);
// the CAdES attributes are read with zelkord/Cades.h.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelkord/Context.h"
#include "zelkord/Ossl.h"
#include "zelkord/RawSignedData.h"

namespace zkd {

// Parses DER (or BER) SignedData that fills data exactly and binds every
// signer to its certificate from the container's set: 0; 10 or 9 as
// ForeignDataCode (zelkord/RawSignedData.h); 9 also for more signers or
// certificates than the provider handles. The reason is the last error.
int ParseSignedData(const uint8_t* data, size_t len, CmsPtr& out);
// The same checks and binding for a container parsed another way (its
// content lent, zelkord/LentContent.h).
int AdoptSignedData(CmsPtr cms, CmsPtr& out);

// The same container as an editable list of its parts (RawSignedData): 0, or
// 10 or 9 with "<what> is damaged" or "... is not a signed container the
// provider handles" as the last error.
int ParseContainer(const uint8_t* data, size_t len, RawSignedData& raw, const std::string& what = "the container");
// One signer of a container, to change the container around it: the
// container as its editable parts and as OpenSSL's structure, and signer i.
struct ContainerSigner {
    RawSignedData raw;
    CmsPtr cms;
    CMS_SignerInfo* si = nullptr;  // owned by cms
};
// 0, or the codes of ParseContainer, ParseSignedData and SignerAtChecked.
int OpenContainerSigner(const uint8_t* data, size_t len, int32_t i, ContainerSigner& out);

// Writes the container into out (room *outLen), or only reports its length
// when out is null; lent content is encoded as attached (RawSignedData::Encode).
// 0, or 56 when it does not fit.
int PutContainer(const RawSignedData& raw, uint8_t* out, uint32_t* outLen, const uint8_t* lent = nullptr,
                 size_t lentLen = 0);

int SignerCount(CMS_ContentInfo* cms);
// Signer i (0 <= i < SignerCount); nullptr out of range.
CMS_SignerInfo* SignerAt(CMS_ContentInfo* cms, int i);
// Signer i, or 56 with the last error "signature index out of range".
int SignerAtChecked(CMS_ContentInfo* cms, int32_t i, CMS_SignerInfo*& out);
// The signer's certificate from the container (nullptr when it carries none).
X509* SignerCertificate(CMS_SignerInfo* si);
// The DER of a certificate.
Bytes CertificateDer(X509* cert);

// Per-signer verdicts of VerifySigners and VerifySigner:
//   0  the signature verifies;
//  52  the container does not carry the signer's certificate;
//  21  the signer's digest algorithm is not supported;
//  11  the signature value does not verify (over the signed attributes, or
//      over the content when there are none), the signed attributes break
//      the rules (content type missing or other than the content's), or a
//      signing certificate attribute names another certificate;
//  13  the content is not the one signed (message digest differs);
//  15  the signer's certificate does not chain to the certification centre
//      (CACert) of its crypto library (judged at the signing time the
//      signature states, else now); libraries without CACert judge nothing.
// Revocation is not judged here.
//
// Verifies every signer over content (the attached content when content is
// nullptr): 0 with one verdict per signer in codes; 1 when there is no
// content to verify against, 11 when the container holds no signature.
int VerifySigners(const Context* ctx, CMS_ContentInfo* cms, const uint8_t* content, size_t len,
                  std::vector<int>& codes);

// Checks that content is the one every signer signed (the message digest of
// each signer that has signed attributes): 0, 13 when one differs, 21 when a
// digest algorithm is not supported. Signatures are not verified.
int CheckContentDigests(CMS_ContentInfo* cms, const uint8_t* content, size_t len);

// The trust check alone: 0 when cert chains (through untrusted, may be null)
// to the CACert of its library at the time at (seconds since 1970, 0 now), or
// the library has none; 15 when it does not (the reason as last error).
// With requireAnchor, a library without CACert gives 15 as well.
int CheckCertificateTrust(const Context* ctx, X509* cert, STACK_OF(X509)* untrusted, int64_t at,
                          bool requireAnchor);

}  // namespace zkd
