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

#include "zelkord/Cades.h"
#include "zelkord/Errors.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/SignatureTemplate.h"
#include "zelkord/Registry.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

int SignData(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
             const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert, uint32_t certLen, const char* pass,
             bool attached) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;  // before the sizing call promises a result
    if (!outLen || (!data && len) || len > INT_MAX || !cert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing or oversized arguments");
    const SignedAttributes none;
    if (!out) {
        size_t bound = SignatureSizeBound(attached ? len : 0, certLen, none);
        if (bound > UINT32_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
        *outLen = static_cast<uint32_t>(bound);
        return ZK_E_OK;
    }
    // A kept key signing again for the same certificate.
    KeptSigning kept;
    if (!key && FindKeptSigning(static_cast<ZKTokenKey>(keyLen), cert, certLen, kept))
        return kept.signing->Sign(data, len, 0, attached, kept.key, out, outLen);

    X509Ptr x = ParseCertificate(cert, certLen);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");

    PrivateKey signer;
    if (int rc = OpenPrivateKey(key, keyLen, pass, x.get(), signer)) return rc;
    CmsPtr cms;
    if (int rc = SignContent(data, len, x.get(), signer.get(), none, nullptr, cms)) return rc;
    const int rc = EncodeSignedData(cms.get(), data, len, attached, out, outLen);
    if (rc == ZK_E_OK) RememberSigning(signer, x.get());
    return rc;
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
