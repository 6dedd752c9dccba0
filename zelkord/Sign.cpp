// Signing (slot 15, content attached) and detached signing (slot 51): CMS
// SignedData with the signer's certificate and the CAdES-BES signed
// attributes (content type, message digest, signing time, signing
// certificate v2). SHA-256, or SHA-384/SHA-512 for keys on larger curves.
//
// Output sizing: the call without a buffer reports an upper bound of the
// result from the lengths alone (an ECDSA signature varies in length from one
// signing to the next, so an exact length would need a second signing); the
// call with a buffer checks everything, signs once and writes the actual
// length back.
//
// The content is digested as it streams from the caller's buffer and, for
// the attached form, encoded straight from that buffer into the output: the
// document is never copied inside the provider.
#include <openssl/err.h>

#include <climits>

#include "zelkord/Errors.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

// Room for everything but the content and the certificate: headers,
// identifiers, algorithms, digests, times and the signature value (an RSA
// signature of 16384 bits at most).
constexpr size_t kStructureSlack = 4096 + 2048;

const EVP_MD* DigestFor(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC")) {
        int bits = EVP_PKEY_get_bits(key);
        if (bits >= 512) return EVP_sha512();
        if (bits >= 384) return EVP_sha384();
    }
    return EVP_sha256();
}

// The certificate appears once whole and its issuer name twice (signer
// identifier and signing certificate v2). Nothing is parsed for the bound.
size_t SizeBound(size_t dataLen, uint32_t certLen) {
    return dataLen + 3 * static_cast<size_t>(certLen) + kStructureSlack;
}

// The SignedData over data, detached: the content is digested, not kept.
CmsPtr SignDetached(const uint8_t* data, uint32_t len, X509* cert, EVP_PKEY* key) {
    static const uint8_t kEmpty = 0;
    BioPtr in(BIO_new_mem_buf(data ? data : &kEmpty, static_cast<int>(len)));
    const unsigned flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
    CmsPtr cms(in ? CMS_sign(nullptr, nullptr, nullptr, nullptr, flags) : nullptr);
    if (!cms || !CMS_add1_signer(cms.get(), cert, key, DigestFor(key), CMS_BINARY | CMS_CADES | CMS_NOSMIMECAP) ||
        CMS_final(cms.get(), in.get(), nullptr, flags) != 1)
        return nullptr;
    return cms;
}

// DER of the SignedData into out; with attached content the content octets
// are lent from the caller's buffer for the encoding only.
int Encode(CMS_ContentInfo* cms, const uint8_t* data, uint32_t len, bool attached, uint8_t* out, uint32_t* outLen) {
    ASN1_OCTET_STRING* content = nullptr;
    if (attached) {
        if (CMS_set_detached(cms, 0) != 1 || !(content = *CMS_get0_content(cms)))
            return Fail(ZK_E_SIGN_OR_PASSWORD, "the content cannot be attached");
        content->data = const_cast<uint8_t*>(data);
        content->length = static_cast<int>(len);
        content->flags &= ~ASN1_STRING_FLAG_CONT;
    }
    int rc = 0;
    int size = i2d_CMS_ContentInfo(cms, nullptr);
    if (size <= 0) {
        rc = Fail(ZK_E_SIGN_OR_PASSWORD, "the signature cannot be encoded");
    } else if (static_cast<uint32_t>(size) > *outLen) {
        rc = Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
    } else {
        unsigned char* p = out;
        i2d_CMS_ContentInfo(cms, &p);
        *outLen = static_cast<uint32_t>(size);
    }
    if (content) {  // the caller's bytes are not the structure's to free
        content->data = nullptr;
        content->length = 0;
    }
    return rc;
}

int SignData(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
             const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert, uint32_t certLen, const char* pass,
             bool attached) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;  // before the sizing call promises a result
    if (!outLen || (!data && len) || len > INT_MAX || !cert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing or oversized arguments");
    if (!out) {
        size_t bound = SizeBound(attached ? len : 0, certLen);
        if (bound > UINT32_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
        *outLen = static_cast<uint32_t>(bound);
        return ZK_E_OK;
    }
    X509Ptr x = ParseCertificate(cert, certLen);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");

    PrivateKey signer;
    if (int rc = OpenPrivateKey(key, keyLen, pass, x.get(), signer)) return rc;
    CmsPtr cms = SignDetached(data, len, x.get(), signer.get());
    ERR_clear_error();
    if (!cms) return Fail(ZK_E_SIGN_OR_PASSWORD, "signing failed");
    return Encode(cms.get(), data, len, attached, out, outLen);
}

int Sign(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
         const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert, uint32_t certLen, const char* pass) {
    return SignData(ctx, lib, data, len, out, outLen, key, keyLen, cert, certLen, pass, true);
}

int SignDetachedSlot(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
                     const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert, uint32_t certLen, const char* pass) {
    return SignData(ctx, lib, data, len, out, outLen, key, keyLen, cert, certLen, pass, false);
}

ZKD_SLOT(ZKLD_SLOT_SIGN, Sign);
ZKD_SLOT(ZKLD_SLOT_SIGN_DETACHED, SignDetachedSlot);

}  // namespace
}  // namespace zkd
