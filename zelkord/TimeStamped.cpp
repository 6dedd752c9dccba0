// RFC 5544 TimeStampedData (block type 18): slot 32 reads its first
// timestamp token (time, message imprint, serial number, the timestamping
// service's certificate), slot 33 hands back the content. Both check that
// the token is a validly signed RFC 3161 token whose message imprint is
// that of the content, so that a timestamp never passes for a document it
// was not made over. OpenSSL has no type for TimeStampedData; a small ASN.1
// template reads it.
#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "zelkord/Errors.h"
#include "zelkord/Ossl.h"
#include "zelkord/Output.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

// TimeStampAndCRL ::= SEQUENCE { timeStamp TimeStampToken, crl CertificateList OPTIONAL }
struct TsdStamp {
    PKCS7* token;
    X509_CRL* crl;
};
ASN1_SEQUENCE(TsdStamp) = {ASN1_SIMPLE(TsdStamp, token, PKCS7), ASN1_OPT(TsdStamp, crl, X509_CRL)}
ASN1_SEQUENCE_END(TsdStamp)
DEFINE_STACK_OF(TsdStamp)

// Evidence ::= CHOICE { tstEvidence [0], ersEvidence [1], otherEvidence [2] } (implicit tags)
struct TsdEvidence {
    int type;
    union {
        STACK_OF(TsdStamp) * tst;
        STACK_OF(ASN1_TYPE) * ers;
        STACK_OF(ASN1_TYPE) * other;
    } d;
};
ASN1_CHOICE(TsdEvidence) = {ASN1_IMP_SEQUENCE_OF(TsdEvidence, d.tst, TsdStamp, 0),
                            ASN1_IMP_SEQUENCE_OF(TsdEvidence, d.ers, ASN1_ANY, 1),
                            ASN1_IMP_SEQUENCE_OF(TsdEvidence, d.other, ASN1_ANY, 2)} ASN1_CHOICE_END(TsdEvidence)

// MetaData ::= SEQUENCE { hashProtected BOOLEAN, fileName UTF8String OPTIONAL,
//                         mediaType IA5String OPTIONAL, otherMetaData Attributes OPTIONAL }
struct TsdMeta {
    ASN1_BOOLEAN hashProtected;
    ASN1_UTF8STRING* fileName;
    ASN1_IA5STRING* mediaType;
    STACK_OF(X509_ATTRIBUTE) * other;
};
ASN1_SEQUENCE(TsdMeta) = {ASN1_SIMPLE(TsdMeta, hashProtected, ASN1_BOOLEAN), ASN1_OPT(TsdMeta, fileName, ASN1_UTF8STRING),
                          ASN1_OPT(TsdMeta, mediaType, ASN1_IA5STRING),
                          ASN1_SEQUENCE_OF_OPT(TsdMeta, other, X509_ATTRIBUTE)} ASN1_SEQUENCE_END(TsdMeta)

struct Tsd {
    ASN1_INTEGER* version;
    ASN1_IA5STRING* dataUri;
    TsdMeta* meta;
    ASN1_OCTET_STRING* content;
    TsdEvidence* evidence;
};
ASN1_SEQUENCE(Tsd) = {ASN1_SIMPLE(Tsd, version, ASN1_INTEGER), ASN1_OPT(Tsd, dataUri, ASN1_IA5STRING),
                      ASN1_OPT(Tsd, meta, TsdMeta), ASN1_OPT(Tsd, content, ASN1_OCTET_STRING),
                      ASN1_SIMPLE(Tsd, evidence, TsdEvidence)} ASN1_SEQUENCE_END(Tsd)

struct TsdInfo {
    ASN1_OBJECT* type;
    Tsd* tsd;
};
ASN1_SEQUENCE(TsdInfo) = {ASN1_SIMPLE(TsdInfo, type, ASN1_OBJECT), ASN1_EXP(TsdInfo, tsd, Tsd, 0)}
ASN1_SEQUENCE_END(TsdInfo)

void FreeTsdInfo(TsdInfo* info) { ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(info), ASN1_ITEM_rptr(TsdInfo)); }

constexpr char kOidTimeStampedData[] = "1.2.840.113549.1.9.16.1.31";

using TsdInfoPtr = std::unique_ptr<TsdInfo, OsslFree<FreeTsdInfo>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OsslFree<TS_TST_INFO_free>>;

// A parsed TimeStampedData with its first token checked.
struct Stamped {
    TsdInfoPtr info;
    TstInfoPtr tst;
    PKCS7* token = nullptr;  // owned by info
};

bool IsTimeStampedData(const ASN1_OBJECT* type) {
    char text[64];
    return OBJ_obj2txt(text, sizeof text, type, 1) > 0 && std::strcmp(text, kOidTimeStampedData) == 0;
}

// The token's signature, checked over its TSTInfo (the service's
// certificate must be in the token).
int CheckToken(PKCS7* token) {
    unsigned char* der = nullptr;
    const int len = i2d_PKCS7(token, &der);
    const unsigned char* p = der;
    CmsPtr cms(len > 0 ? d2i_CMS_ContentInfo(nullptr, &p, len) : nullptr);
    OPENSSL_free(der);
    const bool ok = cms && CMS_verify(cms.get(), nullptr, nullptr, nullptr, nullptr,
                                      CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
    ERR_clear_error();
    return ok ? ZK_E_OK : Fail(ZK_E_BAD_SIGNATURE, "the timestamp token's signature does not verify");
}

// The message imprint must be the hash of the content (preceded by the
// metadata's encoding when it is hash protected).
int CheckImprint(const Tsd& tsd, TS_TST_INFO* tst) {
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(tst);
    const EVP_MD* md = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const ASN1_OCTET_STRING* expected = TS_MSG_IMPRINT_get_msg(imprint);
    if (!md) return Fail(ZK_E_HASH_NOT_SUPPORTED, "the timestamp's hash algorithm is not supported");
    std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1;
    if (ok && tsd.meta && tsd.meta->hashProtected) {
        unsigned char* meta = nullptr;
        const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(tsd.meta), &meta, ASN1_ITEM_rptr(TsdMeta));
        ok = n > 0 && EVP_DigestUpdate(ctx.get(), meta, static_cast<size_t>(n)) == 1;
        OPENSSL_free(meta);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    ok = ok && EVP_DigestUpdate(ctx.get(), ASN1_STRING_get0_data(tsd.content), ASN1_STRING_length(tsd.content)) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), digest, &digestLen) == 1;
    if (!ok) return Fail(ZK_E_NO_HASH, "the content cannot be hashed");
    if (static_cast<int>(digestLen) != ASN1_STRING_length(expected) ||
        std::memcmp(digest, ASN1_STRING_get0_data(expected), digestLen) != 0)
        return Fail(ZK_E_TIMESTAMP_MISMATCH, "the timestamp was not made over this content");
    return ZK_E_OK;
}

int ReadStamped(const uint8_t* data, uint32_t len, Stamped& out) {
    if (!data || len == 0) return Fail(ZK_E_DAMAGED, "the timestamped data is empty");
    const unsigned char* p = data;
    out.info.reset(reinterpret_cast<TsdInfo*>(
        ASN1_item_d2i(nullptr, &p, static_cast<long>(len), ASN1_ITEM_rptr(TsdInfo))));
    ERR_clear_error();
    if (!out.info || p != data + len) return Fail(ZK_E_DAMAGED, "the timestamped data is damaged");
    if (!IsTimeStampedData(out.info->type)) return Fail(ZK_E_BAD_FILE_FORMAT, "the data is not timestamped data");
    const Tsd& tsd = *out.info->tsd;
    if (!tsd.content) return Fail(ZK_E_BAD_FILE_FORMAT, "the timestamped data carries no content");
    if (tsd.evidence->type != 0 || sk_TsdStamp_num(tsd.evidence->d.tst) <= 0)
        return Fail(ZK_E_BAD_FILE_FORMAT, "the timestamped data carries no timestamp token");
    out.token = sk_TsdStamp_value(tsd.evidence->d.tst, 0)->token;
    out.tst.reset(PKCS7_to_TS_TST_INFO(out.token));
    ERR_clear_error();
    if (!out.tst) return Fail(ZK_E_DAMAGED, "the timestamp token is damaged");
    if (int rc = CheckToken(out.token)) return rc;
    return CheckImprint(tsd, out.tst.get());
}

uint32_t Seconds(const ASN1_GENERALIZEDTIME* t) {
    struct tm tm {};
    if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
    const long long s = timegm(&tm);
    return s < 0 ? 0 : s > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(s);
}

int ReadTimestamp(ZKLDContext, const uint8_t* data, uint32_t len, TimestampInfo* info) {
    if (!info) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing timestamp information record");
    Stamped s;
    if (int rc = ReadStamped(data, len, s)) return rc;
    info->Status = 0;  // granted
    info->FailInfo = 0;
    const ASN1_OCTET_STRING* imprint = TS_MSG_IMPRINT_get_msg(TS_TST_INFO_get_msg_imprint(s.tst.get()));
    std::memset(info->Hash, 0, sizeof info->Hash);
    std::memcpy(info->Hash, ASN1_STRING_get0_data(imprint),
                std::min(sizeof info->Hash, static_cast<size_t>(ASN1_STRING_length(imprint))));
    info->Time = Seconds(TS_TST_INFO_get_time(s.tst.get()));
    std::memset(info->Serial, 0, sizeof info->Serial);
    if (BIGNUM* bn = ASN1_INTEGER_to_BN(TS_TST_INFO_get_serial(s.tst.get()), nullptr)) {
        if (char* hex = BN_bn2hex(bn)) {
            std::strncpy(info->Serial, hex, sizeof info->Serial - 1);
            OPENSSL_free(hex);
        }
        BN_free(bn);
    }
    // The service's certificate, when the token carries it and there is room.
    uint32_t room = info->CertBuffer ? info->CertLength : 0;
    info->CertLength = 0;
    STACK_OF(X509)* signers = PKCS7_get0_signers(s.token, nullptr, 0);
    X509* tsa = sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    unsigned char* der = nullptr;
    const int derLen = tsa ? i2d_X509(tsa, &der) : 0;
    if (derLen > 0 && static_cast<uint32_t>(derLen) <= room) {
        std::memcpy(info->CertBuffer, der, static_cast<size_t>(derLen));
        info->CertLength = static_cast<uint32_t>(derLen);
    }
    OPENSSL_free(der);
    sk_X509_free(signers);
    ERR_clear_error();
    return ZK_E_OK;
}

int RemoveTimestamp(ZKLDContext, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing output length");
    if (!out) {
        if (!data || len == 0) return Fail(ZK_E_DAMAGED, "the timestamped data is empty");
        *outLen = len;  // the content lies inside the block
        return ZK_E_OK;
    }
    Stamped s;
    if (int rc = ReadStamped(data, len, s)) return rc;
    const ASN1_OCTET_STRING* content = s.info->tsd->content;
    return PutOutput(ASN1_STRING_get0_data(content), static_cast<size_t>(ASN1_STRING_length(content)), out, outLen);
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_TIMESTAMP_READ, ReadTimestamp);
ZKD_SLOT(ZKLD_SLOT_TIMESTAMP_REMOVE, RemoveTimestamp);

}  // namespace zkd
