// Detached signatures: CMS SignedData without content. Slot 52 checks one
// over the caller's data and hands back the signer's certificate (DER).
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"
#include "zelkord/Ossl.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {


// DER, or PEM as "openssl cms -outform PEM" writes it.
CmsPtr ParseCms(const uint8_t* bytes, uint32_t len) {
    BioPtr der(BIO_new_mem_buf(bytes, static_cast<int>(len)));
    CmsPtr cms(der ? d2i_CMS_bio(der.get(), nullptr) : nullptr);
    if (cms) return cms;
    BioPtr pem(BIO_new_mem_buf(bytes, static_cast<int>(len)));
    return CmsPtr(pem ? PEM_read_bio_CMS(pem.get(), nullptr, nullptr, nullptr) : nullptr);
}

// Every signer must carry its certificate in the signature.
bool SignersHaveCertificates(CMS_ContentInfo* cms) {
    if (CMS_set1_signers_certs(cms, nullptr, 0) < 0) return false;
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
        X509* signer = nullptr;
        CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, i), nullptr, &signer, nullptr, nullptr);
        if (!signer) return false;
    }
    return true;
}

// The signature is checked cryptographically; whether its certificate is
// trusted is left to the caller, which receives that certificate.
int VerifyDetached(ZKLDContext ctx, int32_t lib, const uint8_t* signature, uint32_t signatureLen,
                   const uint8_t* data, uint32_t len, uint8_t* signerCert, uint32_t* signerCertLen) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "Unknown crypto library");
    if (!signature || signatureLen == 0 || signatureLen > INT32_MAX || (!data && len) || len > INT32_MAX ||
        !signerCertLen)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing signature, data or output length");
    CmsPtr cms = ParseCms(signature, signatureLen);
    if (!cms) return Fail(ZK_E_DAMAGED, "The signature is not a CMS structure");
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return Fail(ZK_E_BAD_FILE_FORMAT, "The signature is not SignedData");
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(infos) <= 0) return Fail(ZK_E_BAD_FILE_FORMAT, "The signature has no signer");
    if (!SignersHaveCertificates(cms.get())) return Fail(ZK_E_NO_CERT_FILE, "The signer's certificate is missing");
    // A signature that carries content is checked over the caller's data all the same.
    if (!CMS_is_detached(cms.get()) && CMS_set_detached(cms.get(), 1) != 1)
        return Fail(ZK_E_DAMAGED, "The signature cannot be detached from its content");

    static const uint8_t kEmpty = 0;
    BioPtr content(BIO_new_mem_buf(data ? data : &kEmpty, static_cast<int>(len)));
    if (!content || CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                               CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1)
        return Fail(ZK_E_BAD_SIGNATURE, "The signature does not match the data");

    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(infos, 0), nullptr, &signer, nullptr, nullptr);
    unsigned char* der = nullptr;
    int derLen = signer ? i2d_X509(signer, &der) : -1;
    if (derLen <= 0) return Fail(ZK_E_NO_CERT_FILE, "The signer's certificate cannot be encoded");
    int rc = PutOutput(der, static_cast<size_t>(derLen), signerCert, signerCertLen);
    OPENSSL_free(der);
    return rc;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_VERIFY_DETACHED, VerifyDetached);

}  // namespace zkd
