// Slot 16: a signature removed from its document. The SignedData must carry
// its content and every signature in it must verify; the content and the
// first signer's certificate (SignerInfos order) are handed back.
//
// The content is verified and copied where it lies in the caller's bytes
// (when it is encoded as one primitive string, as signatures usually are):
// the structure around it is parsed without it. content may be data itself:
// the content is then moved to the block's start, after everything else
// was read from the block.
#include <openssl/err.h>

#include <climits>
#include <cstring>

#include "zelkord/LentContent.h"
#include "zelkord/Errors.h"
#include "zelkord/Ossl.h"
#include "zelkord/Output.h"
#include "zelkord/Registry.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

// Every signature of the SignedData checked over its content, each on its
// own (zelkord/SignedData.h): 0; 9 when it has no signer; 52 when a
// signer's certificate is not in it; 11 when any signature does not verify.
// Whether the signers are trusted is not judged here.
int VerifySignatures(CMS_ContentInfo* cms, const uint8_t* content, size_t len) {
    if (SignerCount(cms) <= 0) return Fail(ZK_E_BAD_FILE_FORMAT, "the signed data has no signer");
    CMS_set1_signers_certs(cms, nullptr, 0);  // signers without their certificate stay without
    ERR_clear_error();
    std::vector<int> codes;
    if (int rc = VerifySigners(nullptr, cms, content, len, codes)) return rc;
    const std::string reason = LastErrorText();  // names the first signature that failed
    for (int code : codes)
        if (code == ZK_E_NO_CERT_FILE) return Fail(ZK_E_NO_CERT_FILE, reason);
    for (int code : codes)
        if (code != ZK_E_OK) return Fail(ZK_E_BAD_SIGNATURE, reason);
    return ZK_E_OK;
}

int ReadSigned(const uint8_t* data, size_t len, SignedBlock& out) {
    if (!data || len == 0 || len > LONG_MAX) return Fail(ZK_E_DAMAGED, "the signed data is empty");
    if (!ParseLent(data, len, out)) {
        const unsigned char* p = data;
        out.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(len)));
        if (out.cms && p != data + len) out.cms.reset();  // trailing bytes: not one signed document
    }
    ERR_clear_error();
    if (!out.cms) return Fail(ZK_E_DAMAGED, "the signed data is damaged");
    if (OBJ_obj2nid(CMS_get0_type(out.cms.get())) != NID_pkcs7_signed)
        return Fail(ZK_E_BAD_FILE_FORMAT, "the data is not signed data");
    if (!out.lent) {
        ASN1_OCTET_STRING** content = CMS_get0_content(out.cms.get());
        if (!content || !*content) return Fail(ZK_E_BAD_FILE_FORMAT, "the signature carries no document");
        out.content = ASN1_STRING_get0_data(*content);
        out.contentLen = static_cast<size_t>(ASN1_STRING_length(*content));
    }
    return ZK_E_OK;
}

int RemoveSignature(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* content,
                    uint32_t* contentLen, uint8_t* signerCert, uint32_t* signerCertLen) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    if (!data || !contentLen || !signerCertLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data or output lengths");
    if (!content && !signerCert) {
        if (len == 0) return Fail(ZK_E_DAMAGED, "the signed data is empty");
        *contentLen = *signerCertLen = len;  // both lie inside the block
        return ZK_E_OK;
    }
    SignedBlock block;
    if (int rc = ReadSigned(data, len, block)) return rc;
    if (int rc = VerifySignatures(block.cms.get(), block.content, block.contentLen)) return rc;

    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(block.cms.get()), 0), nullptr, &signer,
                             nullptr, nullptr);
    unsigned char* der = nullptr;
    const int derLen = signer ? i2d_X509(signer, &der) : -1;
    if (derLen <= 0) return Fail(ZK_E_NO_CERT_FILE, "the signer's certificate cannot be encoded");
    int rc = PutOutput(der, static_cast<size_t>(derLen), signerCert, signerCertLen);
    OPENSSL_free(der);
    if (rc == 0) rc = PutOutput(block.content, block.contentLen, content, contentLen);
    return rc;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_REMOVE_SIGNATURE, RemoveSignature);

}  // namespace zkd
