// The container operations (ZKLCTX_): CMS SignedData with CAdES-BES
// signatures, made, edited, described and verified.
//
// - Signature index i is SignerInfo i in the order the container writes them.
//   Adding a signature appends it; merging appends the signatures of each
//   further container in turn (one already present byte for byte is not taken
//   twice); removing one closes the gap. Every other signature keeps its bytes.
// - Output sizing (two calls): creating and adding a signature report an upper
//   bound from the lengths alone on the call without a buffer (a signature
//   value varies in length from one signing to the next) and the actual length
//   on the call with one; the other edits report the exact length both times.
// - A content given with the container (adding a signature or the content
//   itself) must be the one the present signatures were made over (13).
// - Codes of the container itself: 10 damaged (not well-formed), 9 not a
//   signed container (an envelope, a certificate) or beyond the provider's
//   limits, 56 an index out of range or a missing argument; per-signer
//   verdicts are listed in zelkord/SignedData.h.
#include <openssl/err.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <vector>

#include "zelkord/Cades.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/LentContent.h"
#include "zelkord/Output.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/RawSignedData.h"
#include "zelkord/Registry.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

// The most containers one merge takes (as many as the command passes).
constexpr int32_t kMaxMerged = 100;

void FreeCrls(STACK_OF(X509_CRL)* s) { sk_X509_CRL_pop_free(s, X509_CRL_free); }
void FreeCerts(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }
using CrlsPtr = std::unique_ptr<STACK_OF(X509_CRL), OsslFree<FreeCrls>>;
using CertsPtr = std::unique_ptr<STACK_OF(X509), OsslFree<FreeCerts>>;

bool Fits32(size_t n) { return n <= std::numeric_limits<uint32_t>::max(); }

bool SameBytes(const ASN1_OCTET_STRING* a, const uint8_t* data, size_t len) {
    return static_cast<size_t>(a->length) == len && (len == 0 || std::memcmp(a->data, data, len) == 0);
}

// The DER of a SignedData made by SignContent (no content).
Bytes Der(CMS_ContentInfo* cms) {
    unsigned char* p = nullptr;
    const int n = i2d_CMS_ContentInfo(cms, &p);
    if (n <= 0) throw std::bad_alloc();
    Bytes der(p, p + n);
    OPENSSL_free(p);
    return der;
}

// A new signer (cert, key) over data, as its own SignedData; 0 or a code.
int SignWith(const uint8_t* data, size_t len, const uint8_t* cert, uint32_t certLen, const uint8_t* key,
             ZKKeyLen keyLen, const char* pass, const SignedAttributes& attrs, const ASN1_OBJECT* contentType,
             CmsPtr& cms) {
    X509Ptr x = ParseCertificate(cert, certLen);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    PrivateKey signer;
    if (int rc = OpenPrivateKey(key, keyLen, pass, x.get(), signer)) return rc;
    return SignContent(data, len, x.get(), signer.get(), attrs, contentType, cms);
}

// The signer's arguments and the output length; data (len bytes) may be
// empty only when allowEmpty.
int CheckSigningArguments(const uint8_t* data, uint32_t len, bool allowEmpty, const uint8_t* cert, uint32_t certLen,
                          const uint8_t* key, ZKKeyLen keyLen, uint32_t* outLen) {
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;  // before the sizing call promises a result
    if (!outLen || (!data && len) || (len == 0 && !allowEmpty) || len > INT_MAX || !cert || certLen == 0)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing or oversized arguments");
    return ZK_E_OK;
}

int ReportBound(size_t bound, uint32_t* outLen) {
    if (!Fits32(bound)) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
    *outLen = static_cast<uint32_t>(bound);
    return ZK_E_OK;
}

// --- creating a container

int Create(const uint8_t* doc, uint32_t docLen, const uint8_t* cert, uint32_t certLen, const uint8_t* key,
           ZKKeyLen keyLen, const char* pass, uint8_t* out, uint32_t* outLen, const AdditionalAttributes* record,
           bool attached) {
    if (int rc = CheckSigningArguments(doc, docLen, true, cert, certLen, key, keyLen, outLen)) return rc;
    SignedAttributes attrs;
    if (int rc = ReadAdditionalAttributes(record, attrs)) return rc;
    if (!out) return ReportBound(SignatureSizeBound(attached ? docLen : 0, certLen, attrs), outLen);
    CmsPtr cms;
    if (int rc = SignWith(doc, docLen, cert, certLen, key, keyLen, pass, attrs, nullptr, cms)) return rc;
    return EncodeSignedData(cms.get(), doc, docLen, attached, out, outLen);
}

int CreateContainer(const uint8_t* doc, uint32_t docLen, const uint8_t* cert, uint32_t certLen, const uint8_t* key,
                    ZKKeyLen keyLen, const char* pass, uint8_t* out, uint32_t* outLen,
                    const AdditionalAttributes* attrs) {
    return Create(doc, docLen, cert, certLen, key, keyLen, pass, out, outLen, attrs, true);
}

int CreateContainerExt(const uint8_t* doc, uint32_t docLen, const uint8_t* cert, uint32_t certLen,
                       const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out, uint32_t* outLen,
                       const AdditionalAttributes* attrs) {
    return Create(doc, docLen, cert, certLen, key, keyLen, pass, out, outLen, attrs, false);
}

// --- adding a signature

int Add(const uint8_t* container, uint32_t len, const uint8_t* content, uint32_t contentLen, bool withContent,
        const uint8_t* cert, uint32_t certLen, const uint8_t* key, ZKKeyLen keyLen, const char* pass, uint8_t* out,
        uint32_t* outLen, const AdditionalAttributes* record) {
    if (int rc = CheckSigningArguments(container, len, false, cert, certLen, key, keyLen, outLen)) return rc;
    if (withContent && (!content || contentLen == 0 || contentLen > INT_MAX))
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing or oversized content");
    SignedAttributes attrs;
    if (int rc = ReadAdditionalAttributes(record, attrs)) return rc;
    // The container grows by one signer and its certificate.
    if (!out) return ReportBound(len + SignatureSizeBound(0, certLen, attrs), outLen);

    RawSignedData raw;
    if (int rc = ParseContainer(container, len, raw)) return rc;
    const ASN1_OCTET_STRING* attached = raw.Content();
    const uint8_t* data = attached ? attached->data : content;
    size_t dataLen = attached ? static_cast<size_t>(attached->length) : contentLen;
    if (withContent && attached && !SameBytes(attached, content, contentLen))
        return Fail(ZK_E_INTEGRITY, "the document differs from the content the container holds");
    if (!attached && !withContent)
        return Fail(ZK_E_BUFFER_EMPTY, "the container holds no content: add the signature together with the document");
    if (!attached) {  // the document must be the one the present signatures were made over
        CmsPtr cms;
        if (int rc = ParseSignedData(container, len, cms)) return rc;
        if (int rc = CheckContentDigests(cms.get(), data, dataLen)) return rc;
    }
    CmsPtr cms;
    if (int rc = SignWith(data, dataLen, cert, certLen, key, keyLen, pass, attrs, raw.ContentType(), cms)) return rc;
    const Bytes signature = Der(cms.get());
    RawSignedData added;
    if (int rc = ParseContainer(signature.data(), signature.size(), added)) return rc;
    raw.MergeFrom(added);
    return PutContainer(raw, out, outLen);
}

int AddSignature(const uint8_t* container, uint32_t len, const uint8_t* cert, uint32_t certLen, const uint8_t* key,
                 ZKKeyLen keyLen, const char* pass, uint8_t* out, uint32_t* outLen,
                 const AdditionalAttributes* attrs) {
    return Add(container, len, nullptr, 0, false, cert, certLen, key, keyLen, pass, out, outLen, attrs);
}

int AddSignatureExt(const uint8_t* container, uint32_t len, const uint8_t* content, uint32_t contentLen,
                    const uint8_t* cert, uint32_t certLen, const uint8_t* key, ZKKeyLen keyLen, const char* pass,
                    uint8_t* out, uint32_t* outLen, const AdditionalAttributes* attrs) {
    return Add(container, len, content, contentLen, true, cert, certLen, key, keyLen, pass, out, outLen, attrs);
}

// --- editing

int RemoveSignature(const uint8_t* container, uint32_t len, int32_t signIndex, int32_t, uint8_t* out,
                    uint32_t* outLen) {
    if (!outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No output length");
    RawSignedData raw;
    if (int rc = ParseContainer(container, len, raw)) return rc;
    if (signIndex < 0 || signIndex >= raw.SignerCount())
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "signature index out of range");
    raw.RemoveSigner(signIndex);
    return PutContainer(raw, out, outLen);
}

int RemoveContent(const uint8_t* container, uint32_t len, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No output length");
    RawSignedData raw;
    if (int rc = ParseContainer(container, len, raw)) return rc;
    raw.Detach();
    return PutContainer(raw, out, outLen);
}

int AddContent(const uint8_t* container, uint32_t len, const uint8_t* content, uint32_t contentLen, uint8_t* out,
               uint32_t* outLen) {
    if (!outLen || !content || contentLen == 0 || contentLen > INT_MAX)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing or oversized content");
    RawSignedData raw;
    if (int rc = ParseContainer(container, len, raw)) return rc;
    if (const ASN1_OCTET_STRING* attached = raw.Content()) {
        if (!SameBytes(attached, content, contentLen))
            return Fail(ZK_E_INTEGRITY, "the container already holds another content");
        return PutContainer(raw, out, outLen);
    }
    CmsPtr cms;
    if (int rc = ParseSignedData(container, len, cms)) return rc;
    if (int rc = CheckContentDigests(cms.get(), content, contentLen)) return rc;
    return PutContainer(raw, out, outLen, content, contentLen);
}

// Without the content, signers can only be compared by the digests they
// signed: every one must state the same algorithm and value.
int CheckSignedDigestsAgree(const std::vector<CmsPtr>& all) {
    const ASN1_OCTET_STRING* first = nullptr;
    const ASN1_OBJECT* firstAlg = nullptr;
    for (size_t c = 0; c < all.size(); ++c)
        for (int i = 0; i < SignerCount(all[c].get()); ++i) {
            CMS_SignerInfo* si = SignerAt(all[c].get(), i);
            X509_ALGOR* alg = nullptr;
            CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &alg, nullptr);
            const auto* digest = static_cast<const ASN1_OCTET_STRING*>(
                CMS_signed_get0_data_by_OBJ(si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
            if (!digest || !alg) return Fail(ZK_E_INTEGRITY, "a signature cannot be compared without the content");
            if (!first) {
                first = digest;
                firstAlg = alg->algorithm;
            } else if (OBJ_cmp(firstAlg, alg->algorithm) != 0 || ASN1_OCTET_STRING_cmp(first, digest) != 0) {
                return Fail(ZK_E_INTEGRITY, "container " + std::to_string(c) +
                                                " cannot be shown to be over the same content (different digest)");
            }
        }
    return ZK_E_OK;
}

int MergeSignedData(uint8_t checkHash, const ZKBlob* containers, int32_t count, uint8_t* out, uint32_t* outLen) {
    if (!outLen || !containers || count <= 0 || count > kMaxMerged)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing containers or output length");
    std::vector<RawSignedData> raws(static_cast<size_t>(count));
    const RawSignedData* withContent = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        RawSignedData& raw = raws[static_cast<size_t>(i)];
        if (int rc = ParseContainer(containers[i].data, containers[i].length, raw, "container " + std::to_string(i)))
            return rc;
        if (OBJ_cmp(raw.ContentType(), raws[0].ContentType()) != 0)
            return Fail(ZK_E_INTEGRITY, "container " + std::to_string(i) + " holds another type of content");
        if (!withContent && raw.Content()) withContent = &raw;
    }
    if (checkHash) {
        std::vector<CmsPtr> parsed(raws.size());
        for (int32_t i = 0; i < count; ++i) {
            const RawSignedData& raw = raws[static_cast<size_t>(i)];
            if (withContent && raw.Content() && ASN1_OCTET_STRING_cmp(raw.Content(), withContent->Content()) != 0)
                return Fail(ZK_E_INTEGRITY, "container " + std::to_string(i) + " holds another content");
            if (int rc = ParseSignedData(containers[i].data, containers[i].length, parsed[static_cast<size_t>(i)]))
                return rc;
            if (withContent && !raw.Content())
                if (int rc = CheckContentDigests(parsed[static_cast<size_t>(i)].get(), withContent->Content()->data,
                                                 static_cast<size_t>(withContent->Content()->length)))
                    return Fail(rc, "container " + std::to_string(i) + ": " + LastErrorText());
        }
        if (!withContent)
            if (int rc = CheckSignedDigestsAgree(parsed)) return rc;
    }
    RawSignedData& merged = raws[0];
    if (!merged.Content() && withContent) merged.AttachContentOf(*withContent);
    for (size_t i = 1; i < raws.size(); ++i) {
        merged.MergeFrom(raws[i]);
        if (!merged.WithinLimits())
            return Fail(ZK_E_BAD_FILE_FORMAT, "the merged container would hold more signatures or certificates "
                                              "than can be handled");
    }
    return PutContainer(merged, out, outLen);
}

// --- describing a signature

// Copies the pieces of a description into the caller's work buffer; a piece
// that is already there (the same bytes) is not copied twice.
class WorkArea {
public:
    explicit WorkArea(const ZKBlob& work) : base_(work.data), size_(work.data ? work.length : 0) {}

    bool overflow() const { return overflow_; }

    ZKBlob Put(const uint8_t* data, size_t len) {
        if (!data || len == 0) return {nullptr, 0};
        for (const Placed& p : placed_)
            if (p.len == len && (p.source == data || (len <= kCompareLimit && std::memcmp(p.at, data, len) == 0)))
                return {p.at, static_cast<uint32_t>(len)};
        if (len > size_ - used_) {
            overflow_ = true;
            return {nullptr, 0};
        }
        uint8_t* at = base_ + used_;
        std::memcpy(at, data, len);
        used_ += len;
        placed_.push_back({data, at, len});
        return {at, static_cast<uint32_t>(len)};
    }
    ZKBlob Put(const Bytes& bytes) { return Put(bytes.data(), bytes.size()); }
    ZKBlob Put(const std::string& text) { return Put(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

private:
    // Larger pieces (the content) are recognised by their source only.
    static constexpr size_t kCompareLimit = 1 << 16;
    struct Placed {
        const uint8_t* source;
        uint8_t* at;
        size_t len;
    };
    uint8_t* base_;
    size_t size_;
    size_t used_ = 0;
    bool overflow_ = false;
    std::vector<Placed> placed_;
};

// Fills one list of the record, at most ZK_CONTAINER_LIST_SIZE pieces.
void PutList(WorkArea& work, const std::vector<Bytes>& items, ZKBlob (&list)[ZK_CONTAINER_LIST_SIZE]) {
    for (size_t i = 0; i < items.size() && i < ZK_CONTAINER_LIST_SIZE; ++i) list[i] = work.Put(items[i]);
}

// The container's certificates and CRLs, then those the signer carries as
// validation data (each once).
std::vector<Bytes> CarriedCertificates(CMS_ContentInfo* cms, const ValidationData& extra) {
    std::vector<Bytes> all;
    CertsPtr certs(CMS_get1_certs(cms));
    for (int i = 0; i < sk_X509_num(certs.get()); ++i) all.push_back(CertificateDer(sk_X509_value(certs.get(), i)));
    for (const Bytes& b : extra.certs)
        if (std::find(all.begin(), all.end(), b) == all.end()) all.push_back(b);
    return all;
}

std::vector<Bytes> CarriedCrls(CMS_ContentInfo* cms, const ValidationData& extra) {
    std::vector<Bytes> all;
    CrlsPtr crls(CMS_get1_crls(cms));
    for (int i = 0; i < sk_X509_CRL_num(crls.get()); ++i) {
        unsigned char* p = nullptr;
        const int n = i2d_X509_CRL(sk_X509_CRL_value(crls.get(), i), &p);
        if (n > 0) all.emplace_back(p, p + n);
        OPENSSL_free(p);
    }
    for (const Bytes& b : extra.crls)
        if (std::find(all.begin(), all.end(), b) == all.end()) all.push_back(b);
    return all;
}

int Describe(CMS_ContentInfo* cms, CMS_SignerInfo* si, WorkArea& work, ContainerInfo& info) {
    const ZKBlob keep = info.Work;
    std::memset(&info, 0, sizeof info);
    info.Work = keep;
    const int64_t time = SigningTimeOf(si);
    info.SigningTime = time > 0 && time <= std::numeric_limits<uint32_t>::max() ? static_cast<uint32_t>(time) : 0;
    SignaturePolicy policy;
    if (SignaturePolicyOf(si, policy)) {
        info.SigPolicy = work.Put(policy.oid);
        info.SigPolicyURI = work.Put(policy.uri);
        info.SigPolicyMessage = work.Put(policy.notice);
    }
    info.ContentTimestamp = work.Put(SignedAttributeDer(si, NID_id_smime_aa_ets_contentTimestamp));
    if (ASN1_OCTET_STRING** content = CMS_get0_content(cms); content && *content)
        info.Content = work.Put((*content)->data, static_cast<size_t>((*content)->length));
    if (X509* cert = SignerCertificate(si)) info.SignerCert = work.Put(CertificateDer(cert));
    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
    info.Signature = work.Put(signature->data, static_cast<size_t>(signature->length));
    info.SignatureTimestamp = work.Put(UnsignedAttributeDer(si, NID_id_smime_aa_timeStampToken));
    const ValidationData extra = ValidationDataOf(si);
    PutList(work, CarriedCertificates(cms, extra), info.Certs);
    PutList(work, CarriedCrls(cms, extra), info.CRLs);
    PutList(work, extra.ocsps, info.OCSPs);
    if (work.overflow()) return Fail(ZK_E_BAD_REQUEST_PARAMS, "the work buffer is too small for the description");
    return ZK_E_OK;
}

int GetContainerInfo(const uint8_t* container, uint32_t len, int32_t signIndex, ContainerInfo* info) {
    if (!info || !info->Work.data) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No record or work buffer");
    CmsPtr cms;
    if (int rc = ParseSignedData(container, len, cms)) return rc;
    CMS_SignerInfo* si = nullptr;
    if (int rc = SignerAtChecked(cms.get(), signIndex, si)) return rc;
    WorkArea work(info->Work);
    return Describe(cms.get(), si, work, *info);
}

int GetContainerInfos(const uint8_t* container, uint32_t len, ContainerInfo* infos, int32_t* count, ZKBlob* work) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No count");
    CmsPtr cms;
    if (int rc = ParseSignedData(container, len, cms)) return rc;
    const int n = SignerCount(cms.get());
    if (!infos) {
        *count = n;
        return ZK_E_OK;
    }
    if (*count < n) {
        *count = n;
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "room for fewer records than signatures");
    }
    if (!work || !work->data) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No work buffer");
    WorkArea area(*work);
    for (int i = 0; i < n; ++i) {
        infos[i].Work = *work;
        if (int rc = Describe(cms.get(), SignerAt(cms.get(), i), area, infos[i])) return rc;
    }
    *count = n;
    return ZK_E_OK;
}

// --- verification

int VerifyOver(const uint8_t* container, uint32_t len, const uint8_t* content, size_t contentLen, int32_t* results,
               int32_t* count) {
    if (!results || !count || *count < 0) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No room for the results");
    CmsPtr cms;
    // A container's own content is verified where it lies (not copied into
    // the parsed container).
    SignedBlock lent;
    if (!content && ParseLent(container, len, lent)) {
        if (int rc = AdoptSignedData(std::move(lent.cms), cms)) return rc;
        content = lent.content;
        contentLen = lent.contentLen;
    } else if (int rc = ParseSignedData(container, len, cms)) {
        return rc;
    }
    std::vector<int> codes;
    if (int rc = VerifySigners(CurrentContext(), cms.get(), content, contentLen, codes)) return rc;
    if (codes.size() > static_cast<size_t>(*count)) {
        *count = static_cast<int32_t>(codes.size());
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "room for fewer results than signatures");
    }
    std::copy(codes.begin(), codes.end(), results);
    *count = static_cast<int32_t>(codes.size());
    return ZK_E_OK;
}

int Verify(const uint8_t* container, uint32_t len, int32_t* results, int32_t* count) {
    return VerifyOver(container, len, nullptr, 0, results, count);
}

int VerifyExternal(const uint8_t* container, uint32_t len, const uint8_t* content, uint32_t contentLen,
                   int32_t* results, int32_t* count) {
    if (!content || contentLen == 0) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing content");
    return VerifyOver(container, len, content, contentLen, results, count);
}

// --- certificates

// With an issuer: cert names it as its issuer and carries its signature.
// Without: cert chains to the certification centre of its crypto library.
int CheckSignatureCertificate(const uint8_t* cert, uint32_t len, const uint8_t* issuer, uint32_t issuerLen) {
    X509Ptr x = ParseCertificate(cert, len);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    if (!issuer || issuerLen == 0) return CheckCertificateTrust(CurrentContext(), x.get(), nullptr, 0, true);
    X509Ptr by = ParseCertificate(issuer, issuerLen);
    if (!by) return Fail(ZK_E_CERT_INFO, "the issuer's certificate cannot be read");
    const int issued = X509_check_issued(by.get(), x.get());
    const bool signedBy = issued == X509_V_OK && X509_verify(x.get(), X509_get0_pubkey(by.get())) == 1;
    ERR_clear_error();
    if (signedBy) return ZK_E_OK;
    return Fail(ZK_E_ROOT_CHECK, issued == X509_V_OK ? "the issuer's key did not sign the certificate"
                                                     : std::string("not issued by that issuer: ") +
                                                           X509_verify_cert_error_string(issued));
}

int GetSignedDataCertificate(const uint8_t* container, uint32_t len, int32_t index, uint8_t* out, uint32_t* outLen) {
    CmsPtr cms;
    if (int rc = ParseSignedData(container, len, cms)) return rc;
    CMS_SignerInfo* si = nullptr;
    if (int rc = SignerAtChecked(cms.get(), index, si)) return rc;
    X509* cert = SignerCertificate(si);
    if (!cert) return Fail(ZK_E_NO_CERT_FILE, "the container does not carry the signer's certificate");
    const Bytes der = CertificateDer(cert);
    return PutOutput(der.data(), der.size(), out, outLen);
}

// --- hashing

int Digest(const uint8_t* doc, uint32_t len, const EVP_MD* md, uint8_t* out, uint32_t* outLen) {
    if ((!doc && len) || !outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing document or output length");
    static const uint8_t kEmpty = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(doc ? doc : &kEmpty, len, digest, &n, md, nullptr) != 1) {
        ERR_clear_error();
        return Fail(ZK_E_NO_HASH, "the hash cannot be computed");
    }
    return PutOutput(digest, n, out, outLen);
}

// The default hash (SHA-256), or the one the certificate's key signs with.
int HashData(const uint8_t* doc, uint32_t len, const uint8_t* cert, uint32_t certLen, uint8_t* out,
             uint32_t* outLen) {
    const EVP_MD* md = EVP_sha256();
    if (cert && certLen) {
        X509Ptr x = ParseCertificate(cert, certLen);
        EVP_PKEY* key = x ? X509_get0_pubkey(x.get()) : nullptr;
        ERR_clear_error();
        if (!key) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
        md = SignatureDigestFor(key);
    }
    return Digest(doc, len, md, out, outLen);
}

// The hash named by its object identifier (dotted).
int HashDataAlg(const uint8_t* doc, uint32_t len, const char* algOid, uint8_t* out, uint32_t* outLen) {
    if (!algOid || !*algOid || std::strlen(algOid) > 128)
        return Fail(ZK_E_HASH_NOT_SUPPORTED, "no hash algorithm identifier");
    std::unique_ptr<ASN1_OBJECT, OsslFree<ASN1_OBJECT_free>> oid(OBJ_txt2obj(algOid, 1));
    const EVP_MD* md = oid ? EVP_get_digestbyobj(oid.get()) : nullptr;
    ERR_clear_error();
    if (!md) return Fail(ZK_E_HASH_NOT_SUPPORTED, std::string("hash algorithm not supported: ") + algOid);
    return Digest(doc, len, md, out, outLen);
}

}  // namespace

ZKD_EXPORT(ZKLCTX_CreateContainer, CreateContainer);
ZKD_EXPORT(ZKLCTX_CreateContainerExt, CreateContainerExt);
ZKD_EXPORT(ZKLCTX_AddSignature, AddSignature);
ZKD_EXPORT(ZKLCTX_AddSignatureExt, AddSignatureExt);
ZKD_EXPORT(ZKLCTX_RemoveSignature, RemoveSignature);
ZKD_EXPORT(ZKLCTX_RemoveContent, RemoveContent);
ZKD_EXPORT(ZKLCTX_AddContent, AddContent);
ZKD_EXPORT(ZKLCTX_MergeSignedData, MergeSignedData);
ZKD_EXPORT(ZKLCTX_GetContainerInfo, GetContainerInfo);
ZKD_EXPORT(ZKLCTX_GetContainerInfos, GetContainerInfos);
ZKD_EXPORT(ZKLCTX_Verify, Verify);
ZKD_EXPORT(ZKLCTX_VerifyExternal, VerifyExternal);
ZKD_EXPORT(ZKLCTX_CheckSignatureCertificate, CheckSignatureCertificate);
ZKD_EXPORT(ZKLCTX_GetSignedDataCertificate, GetSignedDataCertificate);
ZKD_EXPORT(ZKLCTX_HashData, HashData);
ZKD_EXPORT(ZKLCTX_HashDataAlg, HashDataAlg);

}  // namespace zkd
