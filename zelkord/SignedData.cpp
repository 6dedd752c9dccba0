#include "zelkord/SignedData.h"

#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "platform/IssuerClass.h"
#include "zelkord/Cades.h"
#include "zelkord/Errors.h"
#include "zelkord/RawSignedData.h"

namespace zkd {
namespace {

void FreeCerts(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
void FreeChain(STACK_OF(X509)* s) { sk_X509_free(s); }
using CertsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<FreeCerts>>;
using ChainPtr = std::unique_ptr<STACK_OF(X509), OsslFree<FreeChain>>;  // certificates owned elsewhere
using StorePtr = std::unique_ptr<X509_STORE, OsslFree<X509_STORE_free>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslFree<X509_STORE_CTX_free>>;
using EssPtr = std::unique_ptr<ESS_SIGNING_CERT, OsslFree<ESS_SIGNING_CERT_free>>;
using EssV2Ptr = std::unique_ptr<ESS_SIGNING_CERT_V2, OsslFree<ESS_SIGNING_CERT_V2_free>>;

constexpr size_t kDigestChunk = 1 << 20;

const X509_ALGOR* DigestAlgorithmOf(CMS_SignerInfo* si) {
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
    return digest;
}

bool HasSignedAttributes(CMS_SignerInfo* si) { return CMS_signed_get_attr_count(si) > 0; }

// The content's digest with every digest algorithm the signers use (those
// that are supported), as digest BIOs that the content was written through:
// what CMS_SignerInfo_verify_content reads its digest from. One pass over
// the content, whatever its size and the number of signers.
class ContentDigests {
public:
    ContentDigests(CMS_ContentInfo* cms, const uint8_t* data, size_t len) : top_(BIO_new(BIO_s_null())) {
        if (!top_) throw std::bad_alloc();
        std::vector<int> seen;
        for (int i = 0; i < SignerCount(cms); ++i) {
            const X509_ALGOR* alg = DigestAlgorithmOf(SignerAt(cms, i));
            const EVP_MD* md = alg ? EVP_get_digestbyobj(alg->algorithm) : nullptr;
            if (!md || std::find(seen.begin(), seen.end(), EVP_MD_get_type(md)) != seen.end()) continue;
            seen.push_back(EVP_MD_get_type(md));
            BIO* mdBio = BIO_new(BIO_f_md());
            if (!mdBio || BIO_set_md(mdBio, md) <= 0) {
                BIO_free(mdBio);
                throw std::bad_alloc();
            }
            top_ = BIO_push(mdBio, top_);
        }
        for (size_t done = 0; done < len;) {
            const int n = static_cast<int>(std::min(kDigestChunk, len - done));
            if (BIO_write(top_, data + done, n) != n) throw std::bad_alloc();
            done += static_cast<size_t>(n);
        }
        ERR_clear_error();
    }
    ~ContentDigests() { BIO_free_all(top_); }
    ContentDigests(const ContentDigests&) = delete;
    ContentDigests& operator=(const ContentDigests&) = delete;

    BIO* chain() const { return top_; }

private:
    BIO* top_;
};

// The content type a signer signed equals the content's.
bool ContentTypeMatches(CMS_ContentInfo* cms, CMS_SignerInfo* si) {
    const ASN1_OBJECT* signedType = static_cast<const ASN1_OBJECT*>(
        CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_contentType), -3, V_ASN1_OBJECT));
    return signedType && OBJ_cmp(signedType, CMS_get0_eContentType(cms)) == 0;
}

// A signing certificate attribute (v1 or v2), when present, names the
// signer's certificate first; other certificates it names must be carried.
bool SigningCertificateMatches(CMS_ContentInfo* cms, CMS_SignerInfo* si, X509* signer) {
    const Bytes v1 = SignedAttributeDer(si, NID_id_smime_aa_signingCertificate);
    const Bytes v2 = SignedAttributeDer(si, NID_id_smime_aa_signingCertificateV2);
    if (v1.empty() && v2.empty()) return true;
    const unsigned char* p1 = v1.data();
    const unsigned char* p2 = v2.data();
    EssPtr ss(v1.empty() ? nullptr : d2i_ESS_SIGNING_CERT(nullptr, &p1, static_cast<long>(v1.size())));
    EssV2Ptr ss2(v2.empty() ? nullptr : d2i_ESS_SIGNING_CERT_V2(nullptr, &p2, static_cast<long>(v2.size())));
    if ((!v1.empty() && !ss) || (!v2.empty() && !ss2)) return false;
    CertsPtr carried(CMS_get1_certs(cms));
    ChainPtr chain(sk_X509_new_null());
    if (!chain || !sk_X509_push(chain.get(), signer)) throw std::bad_alloc();
    for (int i = 0; i < sk_X509_num(carried.get()); ++i)
        if (X509_cmp(sk_X509_value(carried.get(), i), signer) != 0 && !sk_X509_push(chain.get(), sk_X509_value(carried.get(), i)))
            throw std::bad_alloc();
    return OSSL_ESS_check_signing_certs(ss.get(), ss2.get(), chain.get(), 0) > 0;
}

std::string IssuerSerialNumber(X509* cert) {
    const X509_NAME* issuer = X509_get_issuer_name(cert);
    const int at = X509_NAME_get_index_by_NID(issuer, NID_serialNumber, -1);
    const ASN1_STRING* value = at >= 0 ? X509_NAME_ENTRY_get_data(X509_NAME_get_entry(issuer, at)) : nullptr;
    return value ? std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                               static_cast<size_t>(ASN1_STRING_length(value)))
                 : std::string();
}

// One signer's verdict (codes in SignedData.h); the reason, naming the
// signature, is the last error.
int VerifySigner(const Context* ctx, CMS_ContentInfo* cms, int index, BIO* digests, STACK_OF(X509)* certs) {
    auto fail = [index](int code, const std::string& why) {
        return Fail(code, "signature " + std::to_string(index) + ": " + why);
    };
    CMS_SignerInfo* si = SignerAt(cms, index);
    X509* cert = SignerCertificate(si);
    if (!cert) return fail(ZK_E_NO_CERT_FILE, "the container does not carry the signer's certificate");
    const X509_ALGOR* alg = DigestAlgorithmOf(si);
    if (!alg || !EVP_get_digestbyobj(alg->algorithm))
        return fail(ZK_E_HASH_NOT_SUPPORTED, "the signer's digest algorithm is not supported");
    const bool attributes = HasSignedAttributes(si);
    if (attributes && (CMS_SignerInfo_verify(si) != 1 || !ContentTypeMatches(cms, si)))
        return fail(ZK_E_BAD_SIGNATURE, "the signature over the signed attributes does not verify");
    if (CMS_SignerInfo_verify_content(si, digests) != 1) {
        return attributes ? fail(ZK_E_INTEGRITY, "the content is not the one signed")
                          : fail(ZK_E_BAD_SIGNATURE, "the signature over the content does not verify");
    }
    if (!SigningCertificateMatches(cms, si, cert))
        return fail(ZK_E_BAD_SIGNATURE, "the signing certificate attribute names another certificate");
    if (int rc = CheckCertificateTrust(ctx, cert, certs, SigningTimeOf(si), false))
        return fail(rc, LastErrorText());
    return ZK_E_OK;
}

}  // namespace

int ParseContainer(const uint8_t* data, size_t len, RawSignedData& raw, const std::string& what) {
    const int rc = raw.Parse(data, len);
    if (rc == ZK_E_OK) return rc;
    return Fail(rc, what + (rc == ZK_E_DAMAGED ? " is damaged" : " is not a signed container the provider handles"));
}

int OpenContainerSigner(const uint8_t* data, size_t len, int32_t i, ContainerSigner& out) {
    if (int rc = ParseContainer(data, len, out.raw)) return rc;
    if (int rc = ParseSignedData(data, len, out.cms)) return rc;
    return SignerAtChecked(out.cms.get(), i, out.si);
}

int PutContainer(const RawSignedData& raw, uint8_t* out, uint32_t* outLen, const uint8_t* lent, size_t lentLen) {
    const size_t size = raw.EncodedLength(lent, lentLen);
    if (size > UINT32_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
    if (out) {
        if (*outLen < size) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
        raw.Encode(out, lent, lentLen);
    }
    *outLen = static_cast<uint32_t>(size);
    return ZK_E_OK;
}

int ParseSignedData(const uint8_t* data, size_t len, CmsPtr& out) {
    out.reset();
    if (!data || len == 0 || len > LONG_MAX) return Fail(ZK_E_DAMAGED, "the container is empty");
    const unsigned char* p = data;
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(len)));
    const bool whole = cms && p == data + len;
    ERR_clear_error();
    if (!whole) {
        const int code = ForeignDataCode(data, len);
        return Fail(code, code == ZK_E_DAMAGED ? "the container is damaged" : "the data is not a signed container");
    }
    return AdoptSignedData(std::move(cms), out);
}

int AdoptSignedData(CmsPtr cms, CmsPtr& out) {
    out.reset();
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return Fail(ZK_E_BAD_FILE_FORMAT, "the data is not a signed container");
    if (SignerCount(cms.get()) > kMaxSigners)
        return Fail(ZK_E_BAD_FILE_FORMAT, "the container holds more signatures than can be handled");
    CertsPtr certs(CMS_get1_certs(cms.get()));
    if (sk_X509_num(certs.get()) > kMaxContainerCerts)
        return Fail(ZK_E_BAD_FILE_FORMAT, "the container carries more certificates than can be handled");
    CMS_set1_signers_certs(cms.get(), nullptr, 0);  // signers without their certificate stay without
    ERR_clear_error();
    out = std::move(cms);
    return ZK_E_OK;
}

int SignerCount(CMS_ContentInfo* cms) { return std::max(0, sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms))); }

CMS_SignerInfo* SignerAt(CMS_ContentInfo* cms, int i) {
    return i >= 0 && i < SignerCount(cms) ? sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms), i) : nullptr;
}

int SignerAtChecked(CMS_ContentInfo* cms, int32_t i, CMS_SignerInfo*& out) {
    out = SignerAt(cms, i);
    return out ? ZK_E_OK : Fail(ZK_E_BAD_REQUEST_PARAMS, "signature index out of range");
}

X509* SignerCertificate(CMS_SignerInfo* si) {
    X509* signer = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, &signer, nullptr, nullptr);
    return signer;
}

Bytes CertificateDer(X509* cert) {
    unsigned char* p = nullptr;
    const int n = i2d_X509(cert, &p);
    if (n <= 0) throw std::bad_alloc();
    Bytes der(p, p + n);
    OPENSSL_free(p);
    return der;
}

int VerifySigners(const Context* ctx, CMS_ContentInfo* cms, const uint8_t* content, size_t len,
                  std::vector<int>& codes) {
    codes.clear();
    if (SignerCount(cms) == 0) return Fail(ZK_E_BAD_SIGNATURE, "the container holds no signature");
    if (!content) {
        ASN1_OCTET_STRING** attached = CMS_get0_content(cms);
        if (!attached || !*attached)
            return Fail(ZK_E_BUFFER_EMPTY, "the container holds no content: verify it together with the document");
        content = ASN1_STRING_get0_data(*attached);
        len = static_cast<size_t>(ASN1_STRING_length(*attached));
    }
    ContentDigests digests(cms, content, len);
    CertsPtr certs(CMS_get1_certs(cms));
    codes.assign(static_cast<size_t>(SignerCount(cms)), ZK_E_OK);
    // Last to first: the last error left tells about the first signer that failed.
    ClearError();
    for (int i = SignerCount(cms) - 1; i >= 0; --i) {
        codes[static_cast<size_t>(i)] = VerifySigner(ctx, cms, i, digests.chain(), certs.get());
        ERR_clear_error();
    }
    return ZK_E_OK;
}

int CheckContentDigests(CMS_ContentInfo* cms, const uint8_t* content, size_t len) {
    std::map<int, Bytes> digests;  // by digest algorithm
    static const uint8_t kEmpty = 0;
    for (int i = 0; i < SignerCount(cms); ++i) {
        CMS_SignerInfo* si = SignerAt(cms, i);
        if (!HasSignedAttributes(si)) continue;  // its signature covers the content itself
        const X509_ALGOR* alg = DigestAlgorithmOf(si);
        const EVP_MD* md = alg ? EVP_get_digestbyobj(alg->algorithm) : nullptr;
        if (!md) return Fail(ZK_E_HASH_NOT_SUPPORTED, "a signer's digest algorithm is not supported");
        Bytes& digest = digests[EVP_MD_get_type(md)];
        if (digest.empty()) {
            digest.resize(EVP_MAX_MD_SIZE);
            unsigned int n = 0;
            if (EVP_Digest(content ? content : &kEmpty, len, digest.data(), &n, md, nullptr) != 1)
                throw std::bad_alloc();
            digest.resize(n);
        }
        const ASN1_OCTET_STRING* signedDigest = static_cast<const ASN1_OCTET_STRING*>(
            CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
        if (!signedDigest || static_cast<size_t>(ASN1_STRING_length(signedDigest)) != digest.size() ||
            std::memcmp(ASN1_STRING_get0_data(signedDigest), digest.data(), digest.size()) != 0)
            return Fail(ZK_E_INTEGRITY, "signature " + std::to_string(i) + " was made over another content");
    }
    return ZK_E_OK;
}

int CheckCertificateTrust(const Context* ctx, X509* cert, STACK_OF(X509)* untrusted, int64_t at,
                          bool requireAnchor) {
    const char* code = zk::LibraryCodeForClass(zk::ClassifyIssuer(IssuerSerialNumber(cert)));
    const int index = ctx ? ctx->IndexOf(code) : -1;
    X509* anchor = index >= 0 ? ctx->libs[static_cast<size_t>(index)].caCert.get() : nullptr;
    if (!anchor) {
        if (!requireAnchor) return ZK_E_OK;
        return Fail(ZK_E_ROOT_CHECK, std::string("no certification centre certificate (CACert) is set for the "
                                                 "certificate's crypto library ") + code);
    }
    StorePtr store(X509_STORE_new());
    StoreCtxPtr check(X509_STORE_CTX_new());
    if (!store || !check || X509_STORE_add_cert(store.get(), anchor) != 1 ||
        X509_STORE_CTX_init(check.get(), store.get(), cert, untrusted) != 1)
        throw std::bad_alloc();
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(check.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);  // the centre may be an intermediate
    if (at > 0) X509_VERIFY_PARAM_set_time(param, static_cast<time_t>(at));
    const bool chains = X509_verify_cert(check.get()) == 1;
    const int error = X509_STORE_CTX_get_error(check.get());
    ERR_clear_error();
    if (chains) return ZK_E_OK;
    return Fail(ZK_E_ROOT_CHECK, std::string("the certificate does not chain to the certification centre of ") +
                                     code + ": " + X509_verify_cert_error_string(error));
}

}  // namespace zkd
