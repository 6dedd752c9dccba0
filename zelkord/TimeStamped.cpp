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

#include <cstring>
#include <span>

#include "zelkord/Errors.h"
#include "zelkord/Ossl.h"
#include "zelkord/Output.h"
#include "zelkord/Registry.h"
#include "zelkord/TimestampToken.h"

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

// A parsed TimeStampedData with its first token checked.
struct Stamped {
    TsdInfoPtr info;
    TimestampToken token;  // its PKCS7 is owned by info
};

bool IsTimeStampedData(const ASN1_OBJECT* type) {
    char text[64];
    return OBJ_obj2txt(text, sizeof text, type, 1) > 0 && std::strcmp(text, kOidTimeStampedData) == 0;
}

// The bytes of the metadata when it is hash protected (they are hashed
// before the content), else none.
Bytes ProtectedMetadata(const Tsd& tsd) {
    if (!tsd.meta || !tsd.meta->hashProtected) return {};
    unsigned char* meta = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(tsd.meta), &meta, ASN1_ITEM_rptr(TsdMeta));
    if (n <= 0) throw std::bad_alloc();
    Bytes out(meta, meta + n);
    OPENSSL_free(meta);
    return out;
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
    if (int rc = ReadTokenOf(sk_TsdStamp_value(tsd.evidence->d.tst, 0)->token, out.token)) return rc;
    if (int rc = CheckTokenSignature(out.token)) return rc;
    // The message imprint must be the hash of the content (preceded by the
    // metadata's encoding when it is hash protected).
    const Bytes meta = ProtectedMetadata(tsd);
    const std::span<const uint8_t> parts[] = {
        meta, {ASN1_STRING_get0_data(tsd.content), static_cast<size_t>(ASN1_STRING_length(tsd.content))}};
    return CheckImprintOver(out.token, parts, "content");
}

int ReadTimestamp(ZKLDContext, const uint8_t* data, uint32_t len, TimestampInfo* info) {
    if (!info) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing timestamp information record");
    Stamped s;
    if (int rc = ReadStamped(data, len, s)) return rc;
    info->Status = 0;  // granted
    info->FailInfo = 0;
    FillTimestampInfo(s.token, *info);
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
