#include "zelkord/Cades.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "zelkord/Errors.h"
#include "zelkord/TimestampToken.h"

namespace zkd {

// SignaturePolicyId (RFC 5126, the signaturePolicyId arm of
// SignaturePolicyIdentifier), which OpenSSL does not model. Qualifiers reuse
// the certificate policy qualifier (same shape: an identifier and a value;
// the signature policy identifiers fall to its "any value" arm).
struct ZKD_OTHER_HASH {
    X509_ALGOR* alg;
    ASN1_OCTET_STRING* value;
};
ASN1_SEQUENCE(ZKD_OTHER_HASH) = {
    ASN1_SIMPLE(ZKD_OTHER_HASH, alg, X509_ALGOR),
    ASN1_SIMPLE(ZKD_OTHER_HASH, value, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(ZKD_OTHER_HASH)

struct ZKD_SIG_POLICY_ID {
    ASN1_OBJECT* id;
    ZKD_OTHER_HASH* hash;
    STACK_OF(POLICYQUALINFO)* qualifiers;
};
ASN1_SEQUENCE(ZKD_SIG_POLICY_ID) = {
    ASN1_SIMPLE(ZKD_SIG_POLICY_ID, id, ASN1_OBJECT),
    ASN1_SIMPLE(ZKD_SIG_POLICY_ID, hash, ZKD_OTHER_HASH),
    ASN1_SEQUENCE_OF_OPT(ZKD_SIG_POLICY_ID, qualifiers, POLICYQUALINFO),
} ASN1_SEQUENCE_END(ZKD_SIG_POLICY_ID)
DECLARE_ASN1_FUNCTIONS(ZKD_SIG_POLICY_ID)
IMPLEMENT_ASN1_FUNCTIONS(ZKD_SIG_POLICY_ID)

// CertificateValues ::= SEQUENCE OF Certificate, and the lists of
// RevocationValues, read as lists of opaque elements.
typedef STACK_OF(ASN1_TYPE) ZKD_ANY_LIST;
ASN1_ITEM_TEMPLATE(ZKD_ANY_LIST) = ASN1_EX_TEMPLATE_TYPE(ASN1_TFLG_SEQUENCE_OF, 0, items, ASN1_ANY)
ASN1_ITEM_TEMPLATE_END(ZKD_ANY_LIST)

struct ZKD_REVOCATION_VALUES {
    STACK_OF(ASN1_TYPE)* crls;
    STACK_OF(ASN1_TYPE)* ocsps;
    ASN1_TYPE* other;
};
ASN1_SEQUENCE(ZKD_REVOCATION_VALUES) = {
    ASN1_EXP_SEQUENCE_OF_OPT(ZKD_REVOCATION_VALUES, crls, ASN1_ANY, 0),
    ASN1_EXP_SEQUENCE_OF_OPT(ZKD_REVOCATION_VALUES, ocsps, ASN1_ANY, 1),
    ASN1_EXP_OPT(ZKD_REVOCATION_VALUES, other, ASN1_ANY, 2),
} ASN1_SEQUENCE_END(ZKD_REVOCATION_VALUES)
DECLARE_ASN1_FUNCTIONS(ZKD_REVOCATION_VALUES)
IMPLEMENT_ASN1_FUNCTIONS(ZKD_REVOCATION_VALUES)

namespace {

using PolicyPtr = std::unique_ptr<ZKD_SIG_POLICY_ID, OsslFree<ZKD_SIG_POLICY_ID_free>>;
using QualifierPtr = std::unique_ptr<POLICYQUALINFO, OsslFree<POLICYQUALINFO_free>>;
using NoticePtr = std::unique_ptr<USERNOTICE, OsslFree<USERNOTICE_free>>;
using TypePtr = std::unique_ptr<ASN1_TYPE, OsslFree<ASN1_TYPE_free>>;

constexpr size_t kMaxPolicyText = 256;
constexpr size_t kMaxPolicyUri = 4096;
constexpr long kMaxNoticeChars = 200;
// Room for everything of a signature but the content, the certificate and
// the optional attributes: headers, identifiers, algorithms, digests, times,
// signing certificate v2 and a signature value of 16384 bits.
constexpr size_t kStructureSlack = 4096 + 2048;

template <class T, class Encode>
Bytes Der(const T* value, Encode encode) {
    unsigned char* p = nullptr;
    const int n = encode(value, &p);
    if (n <= 0) throw std::bad_alloc();
    Bytes out(p, p + n);
    OPENSSL_free(p);
    return out;
}

bool Present(const AdditionalAttributes& r, unsigned flag, const ZKBlob& blob) {
    return (r.Flags & flag) && blob.data && blob.length;
}

// A dotted identifier ("1.2.3") or the DER of an OBJECT IDENTIFIER.
ASN1_OBJECT* PolicyIdentifier(const ZKBlob& blob) {
    const unsigned char* p = blob.data;
    if (blob.data[0] == V_ASN1_OBJECT) {
        ASN1_OBJECT* o = d2i_ASN1_OBJECT(nullptr, &p, blob.length);
        if (o && p == blob.data + blob.length) return o;
        ASN1_OBJECT_free(o);
        return nullptr;
    }
    if (blob.length > kMaxPolicyText) return nullptr;
    std::string text(reinterpret_cast<const char*>(blob.data), blob.length);
    if (text.find_first_not_of("0123456789.") != std::string::npos) return nullptr;
    return OBJ_txt2obj(text.c_str(), 1);
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return !text.empty();
}

bool IsNotice(const std::string& utf8) {
    ASN1_STRING* s = nullptr;
    const int r = ASN1_mbstring_ncopy(&s, reinterpret_cast<const unsigned char*>(utf8.data()),
                                      static_cast<int>(utf8.size()), MBSTRING_UTF8, B_ASN1_UTF8STRING, 1,
                                      kMaxNoticeChars);
    ASN1_STRING_free(s);
    return r > 0;
}

// The digest of data with the algorithm of a timestamp's message imprint
// equals the imprint: 0, 27 when it does not, 56 when the token is unreadable.
int CheckContentTimestamp(const uint8_t* token, size_t tokenLen, const uint8_t* data, size_t len) {
    TimestampToken t;
    if (ReadTimestampToken(token, tokenLen, t) != ZK_E_OK)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "the content timestamp is not a timestamp token");
    const std::span<const uint8_t> parts[] = {{data, len}};
    return CheckImprintOver(t, parts, "content");
}

QualifierPtr Qualifier(int nid, ASN1_TYPE* value) {
    QualifierPtr q(POLICYQUALINFO_new());
    if (!q) {
        ASN1_TYPE_free(value);
        throw std::bad_alloc();
    }
    q->pqualid = OBJ_nid2obj(nid);
    q->d.other = value;
    return q;
}

// SigPolicyQualifierInfo values: SPuri ::= IA5String, SPUserNotice (the
// shape of a certificate policy's user notice) with the explicit text only.
ASN1_TYPE* UriValue(const std::string& uri) {
    TypePtr t(ASN1_TYPE_new());
    ASN1_IA5STRING* s = ASN1_IA5STRING_new();
    if (!t || !s || !ASN1_STRING_set(s, uri.data(), static_cast<int>(uri.size()))) {
        ASN1_IA5STRING_free(s);
        throw std::bad_alloc();
    }
    ASN1_TYPE_set(t.get(), V_ASN1_IA5STRING, s);
    return t.release();
}

ASN1_TYPE* NoticeValue(const std::string& utf8) {
    NoticePtr notice(USERNOTICE_new());
    if (!notice || !(notice->exptext = ASN1_UTF8STRING_new()) ||
        !ASN1_STRING_set(notice->exptext, utf8.data(), static_cast<int>(utf8.size())))
        throw std::bad_alloc();
    const Bytes der = Der(notice.get(), i2d_USERNOTICE);
    TypePtr t(ASN1_TYPE_new());
    ASN1_STRING* s = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    if (!t || !s || !ASN1_STRING_set(s, der.data(), static_cast<int>(der.size()))) {
        ASN1_STRING_free(s);
        throw std::bad_alloc();
    }
    ASN1_TYPE_set(t.get(), V_ASN1_SEQUENCE, s);
    return t.release();
}

// The attribute value: the policy identifier, a hash of the policy document
// set to zero (the service never holds that document: "hash not known", as
// CAdES allows), and the URI and notice as qualifiers.
Bytes PolicyValue(const SignedAttributes& attrs) {
    PolicyPtr policy(ZKD_SIG_POLICY_ID_new());
    if (!policy || !(policy->id = OBJ_dup(attrs.policyOid))) throw std::bad_alloc();
    const unsigned char zero[32] = {};
    X509_ALGOR_set_md(policy->hash->alg, EVP_sha256());
    if (!ASN1_OCTET_STRING_set(policy->hash->value, zero, 32)) throw std::bad_alloc();
    auto add = [&](QualifierPtr q) {
        if (!policy->qualifiers && !(policy->qualifiers = sk_POLICYQUALINFO_new_null())) throw std::bad_alloc();
        if (!sk_POLICYQUALINFO_push(policy->qualifiers, q.get())) throw std::bad_alloc();
        q.release();
    };
    if (!attrs.policyUri.empty()) add(Qualifier(NID_id_smime_spq_ets_sqt_uri, UriValue(attrs.policyUri)));
    if (!attrs.policyNotice.empty()) add(Qualifier(NID_id_smime_spq_ets_sqt_unotice, NoticeValue(attrs.policyNotice)));
    return Der(policy.get(), i2d_ZKD_SIG_POLICY_ID);
}

bool AddSequenceAttribute(CMS_SignerInfo* si, int nid, const uint8_t* der, size_t len) {
    return CMS_signed_add1_attr_by_NID(si, nid, V_ASN1_SEQUENCE, der, static_cast<int>(len)) == 1;
}

ASN1_TYPE* FirstValue(X509_ATTRIBUTE* attribute) {
    return attribute && X509_ATTRIBUTE_count(attribute) > 0 ? X509_ATTRIBUTE_get0_type(attribute, 0) : nullptr;
}

Bytes ValueDer(X509_ATTRIBUTE* attribute) {
    ASN1_TYPE* value = FirstValue(attribute);
    return value ? Der(value, i2d_ASN1_TYPE) : Bytes();
}

std::string Utf8Of(const ASN1_STRING* s) {
    unsigned char* utf8 = nullptr;
    const int n = s ? ASN1_STRING_to_UTF8(&utf8, s) : -1;
    std::string text(n > 0 ? reinterpret_cast<char*>(utf8) : "", n > 0 ? static_cast<size_t>(n) : 0);
    OPENSSL_free(utf8);
    return text;
}

void FreeAnyList(STACK_OF(ASN1_TYPE)* list) { sk_ASN1_TYPE_pop_free(list, ASN1_TYPE_free); }
using AnyListPtr = std::unique_ptr<STACK_OF(ASN1_TYPE), OsslFree<FreeAnyList>>;
using RevocationPtr = std::unique_ptr<ZKD_REVOCATION_VALUES, OsslFree<ZKD_REVOCATION_VALUES_free>>;

// The DER of each SEQUENCE element of a list (other elements are skipped).
void AppendSequences(const STACK_OF(ASN1_TYPE)* list, std::vector<Bytes>& out) {
    for (int i = 0; i < sk_ASN1_TYPE_num(list); ++i) {
        const ASN1_TYPE* t = sk_ASN1_TYPE_value(list, i);
        if (t->type == V_ASN1_SEQUENCE) out.emplace_back(t->value.sequence->data, t->value.sequence->data + t->value.sequence->length);
    }
}

}  // namespace

SignedAttributes::~SignedAttributes() { ASN1_OBJECT_free(policyOid); }

int ReadAdditionalAttributes(const AdditionalAttributes* record, SignedAttributes& out) {
    if (!record) return ZK_E_OK;
    const AdditionalAttributes& r = *record;
    if (r.Flags & ZK_ATTR_SIGNING_TIME) out.signingTime = r.SigningTime;
    if (Present(r, ZK_ATTR_POLICY_ID, r.SigPolicy) && !(out.policyOid = PolicyIdentifier(r.SigPolicy))) {
        ERR_clear_error();
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "the signature policy is not an object identifier");
    }
    if (Present(r, ZK_ATTR_POLICY_URI, r.SigPolicyURI)) {
        out.policyUri.assign(reinterpret_cast<const char*>(r.SigPolicyURI.data), r.SigPolicyURI.length);
        if (out.policyUri.size() > kMaxPolicyUri || !IsAscii(out.policyUri))
            return Fail(ZK_E_BAD_REQUEST_PARAMS, "the signature policy URI is not an ASCII text");
    }
    if (Present(r, ZK_ATTR_POLICY_NOTICE, r.SigPolicyMessage)) {
        out.policyNotice.assign(reinterpret_cast<const char*>(r.SigPolicyMessage.data), r.SigPolicyMessage.length);
        if (!IsNotice(out.policyNotice)) {
            ERR_clear_error();
            return Fail(ZK_E_BAD_REQUEST_PARAMS, "the signature policy notice is not 1 to 200 UTF-8 characters");
        }
    }
    if (!out.policyOid && (!out.policyUri.empty() || !out.policyNotice.empty()))
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "a signature policy URI or notice needs the policy identifier");
    if (Present(r, ZK_ATTR_CONTENT_TIMESTAMP, r.ContentTimestamp)) {
        out.contentTimestamp = r.ContentTimestamp.data;
        out.contentTimestampLen = r.ContentTimestamp.length;
    }
    return ZK_E_OK;
}

const EVP_MD* SignatureDigestFor(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC")) {
        const int bits = EVP_PKEY_get_bits(key);
        if (bits >= 512) return EVP_sha512();
        if (bits >= 384) return EVP_sha384();
    }
    return EVP_sha256();
}

int SignContent(const uint8_t* data, size_t len, X509* cert, EVP_PKEY* key, const SignedAttributes& attrs,
                const ASN1_OBJECT* contentType, CmsPtr& out) {
    out.reset();
    if (len > INT_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "the document is too large");
    if (attrs.contentTimestamp)
        if (int rc = CheckContentTimestamp(attrs.contentTimestamp, attrs.contentTimestampLen, data, len)) return rc;

    static const uint8_t kEmpty = 0;
    BioPtr in(BIO_new_mem_buf(data ? data : &kEmpty, static_cast<int>(len)));
    const unsigned flags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL;
    CmsPtr cms(in ? CMS_sign(nullptr, nullptr, nullptr, nullptr, flags) : nullptr);
    if (!cms) throw std::bad_alloc();
    if (contentType && OBJ_obj2nid(contentType) != NID_pkcs7_data &&
        CMS_set1_eContentType(cms.get(), contentType) != 1)
        throw std::bad_alloc();
    CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert, key, SignatureDigestFor(key),
                                         CMS_BINARY | CMS_CADES | CMS_NOSMIMECAP);
    bool ok = si != nullptr;
    if (ok && attrs.signingTime) {  // set before signing, so that signing keeps it
        TimePtr t(ASN1_TIME_set(nullptr, static_cast<time_t>(attrs.signingTime)));
        ok = t && CMS_signed_add1_attr_by_NID(si, NID_pkcs9_signingTime, t->type, t.get(), -1) == 1;
    }
    if (ok && attrs.policyOid) {
        const Bytes policy = PolicyValue(attrs);
        ok = AddSequenceAttribute(si, NID_id_smime_aa_ets_sigPolicyId, policy.data(), policy.size());
    }
    if (ok && attrs.contentTimestamp)
        ok = AddSequenceAttribute(si, NID_id_smime_aa_ets_contentTimestamp, attrs.contentTimestamp,
                                  attrs.contentTimestampLen);
    ok = ok && CMS_final(cms.get(), in.get(), nullptr, flags) == 1;
    ERR_clear_error();
    if (!ok) return Fail(ZK_E_SIGN_OR_PASSWORD, "signing failed");
    out = std::move(cms);
    return ZK_E_OK;
}

size_t SignatureSizeBound(size_t contentLen, size_t certLen, const SignedAttributes& attrs) {
    // The certificate appears once whole and its issuer name twice (signer
    // identifier and signing certificate v2); a policy's texts grow by their
    // headers only.
    return contentLen + 3 * certLen + kStructureSlack + 2 * (attrs.policyUri.size() + attrs.policyNotice.size()) +
           kMaxPolicyText + attrs.contentTimestampLen;
}

int EncodeSignedData(CMS_ContentInfo* cms, const uint8_t* data, size_t len, bool attached, uint8_t* out,
                     uint32_t* outLen) {
    ASN1_OCTET_STRING* content = nullptr;
    if (attached) {
        if (len > INT_MAX || CMS_set_detached(cms, 0) != 1 || !(content = *CMS_get0_content(cms)))
            return Fail(ZK_E_SIGN_OR_PASSWORD, "the content cannot be attached");
        // Lent for this encoding only (no copy of a document that may be large).
        content->data = const_cast<uint8_t*>(data);
        content->length = static_cast<int>(len);
        content->flags &= ~ASN1_STRING_FLAG_CONT;
    }
    int rc = ZK_E_OK;
    const int size = i2d_CMS_ContentInfo(cms, nullptr);
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

int64_t SigningTimeOf(CMS_SignerInfo* si) {
    const int at = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    ASN1_TYPE* value = at >= 0 ? FirstValue(CMS_signed_get_attr(si, at)) : nullptr;
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) return 0;
    struct tm tm {};
    if (ASN1_TIME_to_tm(value->value.utctime, &tm) != 1) {
        ERR_clear_error();
        return 0;
    }
    return static_cast<int64_t>(timegm(&tm));
}

bool SignaturePolicyOf(CMS_SignerInfo* si, SignaturePolicy& out) {
    const Bytes der = SignedAttributeDer(si, NID_id_smime_aa_ets_sigPolicyId);
    const unsigned char* p = der.data();
    PolicyPtr policy(der.empty() ? nullptr : d2i_ZKD_SIG_POLICY_ID(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (!policy) return false;
    char oid[kMaxPolicyText];
    if (OBJ_obj2txt(oid, sizeof oid, policy->id, 1) <= 0) return false;
    out = SignaturePolicy{oid, {}, {}};
    for (int i = 0; i < sk_POLICYQUALINFO_num(policy->qualifiers); ++i) {
        const POLICYQUALINFO* q = sk_POLICYQUALINFO_value(policy->qualifiers, i);
        const ASN1_TYPE* v = q->d.other;
        const int nid = OBJ_obj2nid(q->pqualid);
        if (nid == NID_id_smime_spq_ets_sqt_uri && v && v->type == V_ASN1_IA5STRING) {
            out.uri.assign(reinterpret_cast<const char*>(v->value.ia5string->data), v->value.ia5string->length);
        } else if (nid == NID_id_smime_spq_ets_sqt_unotice && v && v->type == V_ASN1_SEQUENCE) {
            const unsigned char* n = v->value.sequence->data;
            NoticePtr notice(d2i_USERNOTICE(nullptr, &n, v->value.sequence->length));
            if (notice) out.notice = Utf8Of(notice->exptext);
            ERR_clear_error();
        }
    }
    return true;
}

Bytes SignedAttributeDer(CMS_SignerInfo* si, int nid) {
    const int at = CMS_signed_get_attr_by_NID(si, nid, -1);
    return at >= 0 ? ValueDer(CMS_signed_get_attr(si, at)) : Bytes();
}

Bytes UnsignedAttributeDer(CMS_SignerInfo* si, int nid) {
    const int at = CMS_unsigned_get_attr_by_NID(si, nid, -1);
    return at >= 0 ? ValueDer(CMS_unsigned_get_attr(si, at)) : Bytes();
}

}  // namespace zkd

namespace zkd {

ValidationData ValidationDataOf(CMS_SignerInfo* si) {
    ValidationData data;
    const Bytes certs = UnsignedAttributeDer(si, NID_id_smime_aa_ets_certValues);
    const unsigned char* p = certs.data();
    AnyListPtr list(certs.empty() ? nullptr
                                  : reinterpret_cast<STACK_OF(ASN1_TYPE)*>(ASN1_item_d2i(
                                        nullptr, &p, static_cast<long>(certs.size()), ASN1_ITEM_rptr(ZKD_ANY_LIST))));
    AppendSequences(list.get(), data.certs);
    const Bytes revocation = UnsignedAttributeDer(si, NID_id_smime_aa_ets_revocationValues);
    p = revocation.data();
    RevocationPtr values(revocation.empty() ? nullptr
                                            : d2i_ZKD_REVOCATION_VALUES(nullptr, &p, static_cast<long>(revocation.size())));
    if (values) {
        AppendSequences(values->crls, data.crls);
        AppendSequences(values->ocsps, data.ocsps);
    }
    ERR_clear_error();
    return data;
}

}  // namespace zkd
