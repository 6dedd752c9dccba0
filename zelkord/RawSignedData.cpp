#include "zelkord/RawSignedData.h"

#include <openssl/asn1t.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <string>
#include <unordered_set>
#include <utility>

namespace zkd {

// RFC 5652 SignedData with the parts the edits keep as they were read held as
// opaque elements (ANY). The lists are SEQUENCE OF under the tags of the SET
// OF they stand for, so the encoder writes them in the order they hold (a SET
// OF would be sorted); a decoder sees the same tags and lengths either way.
struct ZKD_RAW_ENCAP {
    ASN1_OBJECT* type;
    ASN1_OCTET_STRING* content;
};
ASN1_SEQUENCE(ZKD_RAW_ENCAP) = {
    ASN1_SIMPLE(ZKD_RAW_ENCAP, type, ASN1_OBJECT),
    ASN1_EXP_OPT(ZKD_RAW_ENCAP, content, ASN1_OCTET_STRING, 0),
} ASN1_SEQUENCE_END(ZKD_RAW_ENCAP)

struct ZKD_RAW_SD {
    ASN1_INTEGER* version;
    STACK_OF(X509_ALGOR)* digestAlgs;
    ZKD_RAW_ENCAP* encap;
    STACK_OF(ASN1_TYPE)* certs;
    STACK_OF(ASN1_TYPE)* crls;
    STACK_OF(ASN1_TYPE)* signers;
};
ASN1_SEQUENCE(ZKD_RAW_SD) = {
    ASN1_SIMPLE(ZKD_RAW_SD, version, ASN1_INTEGER),
    ASN1_SET_OF(ZKD_RAW_SD, digestAlgs, X509_ALGOR),
    ASN1_SIMPLE(ZKD_RAW_SD, encap, ZKD_RAW_ENCAP),
    ASN1_IMP_SEQUENCE_OF_OPT(ZKD_RAW_SD, certs, ASN1_ANY, 0),
    ASN1_IMP_SEQUENCE_OF_OPT(ZKD_RAW_SD, crls, ASN1_ANY, 1),
    ASN1_EX_TYPE(ASN1_TFLG_SEQUENCE_OF | ASN1_TFLG_IMPTAG | ASN1_TFLG_UNIVERSAL, V_ASN1_SET, ZKD_RAW_SD, signers,
                 ASN1_ANY),
} ASN1_SEQUENCE_END(ZKD_RAW_SD)

struct ZKD_RAW_CI {
    ASN1_OBJECT* type;
    ZKD_RAW_SD* sd;
};
ASN1_SEQUENCE(ZKD_RAW_CI) = {
    ASN1_SIMPLE(ZKD_RAW_CI, type, ASN1_OBJECT),
    ASN1_EXP(ZKD_RAW_CI, sd, ZKD_RAW_SD, 0),
} ASN1_SEQUENCE_END(ZKD_RAW_CI)

// One SignerInfo, for adding an unsigned attribute: the signed attributes
// stay the elements they were read as (their bytes are what was signed).
struct ZKD_RAW_SI {
    ASN1_INTEGER* version;
    ASN1_TYPE* sid;
    X509_ALGOR* digestAlg;
    STACK_OF(ASN1_TYPE)* signedAttrs;
    X509_ALGOR* signatureAlg;
    ASN1_OCTET_STRING* signature;
    STACK_OF(ASN1_TYPE)* unsignedAttrs;
};
ASN1_SEQUENCE(ZKD_RAW_SI) = {
    ASN1_SIMPLE(ZKD_RAW_SI, version, ASN1_INTEGER),
    ASN1_SIMPLE(ZKD_RAW_SI, sid, ASN1_ANY),
    ASN1_SIMPLE(ZKD_RAW_SI, digestAlg, X509_ALGOR),
    ASN1_IMP_SEQUENCE_OF_OPT(ZKD_RAW_SI, signedAttrs, ASN1_ANY, 0),
    ASN1_SIMPLE(ZKD_RAW_SI, signatureAlg, X509_ALGOR),
    ASN1_SIMPLE(ZKD_RAW_SI, signature, ASN1_OCTET_STRING),
    ASN1_IMP_SEQUENCE_OF_OPT(ZKD_RAW_SI, unsignedAttrs, ASN1_ANY, 1),
} ASN1_SEQUENCE_END(ZKD_RAW_SI)

DECLARE_ASN1_FUNCTIONS(ZKD_RAW_CI)
IMPLEMENT_ASN1_FUNCTIONS(ZKD_RAW_CI)
DECLARE_ASN1_FUNCTIONS(ZKD_RAW_SI)
IMPLEMENT_ASN1_FUNCTIONS(ZKD_RAW_SI)

namespace {

using RawSiPtr = std::unique_ptr<ZKD_RAW_SI, OsslFree<ZKD_RAW_SI_free>>;
using TypePtr = std::unique_ptr<ASN1_TYPE, OsslFree<ASN1_TYPE_free>>;

// One DER element that fills the bytes exactly, as an opaque ANY.
TypePtr ReadElement(const uint8_t* data, size_t len) {
    if (!data || len == 0 || len > LONG_MAX) return nullptr;
    const unsigned char* p = data;
    TypePtr t(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(len)));
    if (!t || p != data + len) return nullptr;
    return t;
}

// The bytes of a SEQUENCE element (its whole DER); nullptr for other types.
const ASN1_STRING* ElementString(const ASN1_TYPE* t) { return t->type == V_ASN1_SEQUENCE ? t->value.sequence : nullptr; }

// An element's DER: equal keys, equal elements (whatever its type).
std::string KeyOf(const ASN1_TYPE* t) {
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_TYPE(t, &der);
    if (n <= 0) throw std::bad_alloc();  // an element that was read encodes again
    std::string key(reinterpret_cast<const char*>(der), static_cast<size_t>(n));
    OPENSSL_free(der);
    return key;
}

// Appends copies of the elements of from that list lacks (list is created
// when needed). Elements are looked up in a hash set: a merge may bring many
// thousands.
void AppendElements(STACK_OF(ASN1_TYPE)*& list, const STACK_OF(ASN1_TYPE)* from) {
    std::unordered_set<std::string> present;
    for (int i = 0; i < sk_ASN1_TYPE_num(list); ++i) present.insert(KeyOf(sk_ASN1_TYPE_value(list, i)));
    for (int i = 0; i < sk_ASN1_TYPE_num(from); ++i) {
        const ASN1_TYPE* item = sk_ASN1_TYPE_value(from, i);
        if (!present.insert(KeyOf(item)).second) continue;
        TypePtr copy(static_cast<ASN1_TYPE*>(ASN1_item_dup(ASN1_ITEM_rptr(ASN1_ANY), item)));
        if (!copy) throw std::bad_alloc();
        if (!list && !(list = sk_ASN1_TYPE_new_null())) throw std::bad_alloc();
        if (!sk_ASN1_TYPE_push(list, copy.get())) throw std::bad_alloc();
        copy.release();
    }
}

// The position of the first attribute of that type in a list of attributes
// kept as elements, or -1.
int AttributeIndex(const STACK_OF(ASN1_TYPE)* attrs, const ASN1_OBJECT* type) {
    for (int i = 0; i < sk_ASN1_TYPE_num(attrs); ++i) {
        const ASN1_STRING* s = ElementString(sk_ASN1_TYPE_value(attrs, i));
        const unsigned char* p = s ? s->data : nullptr;
        std::unique_ptr<X509_ATTRIBUTE, OsslFree<X509_ATTRIBUTE_free>> a(
            p ? d2i_X509_ATTRIBUTE(nullptr, &p, s->length) : nullptr);
        ERR_clear_error();
        if (a && OBJ_cmp(X509_ATTRIBUTE_get0_object(a.get()), type) == 0) return i;
    }
    return -1;
}

void AddDigestAlgorithm(STACK_OF(X509_ALGOR)* algs, const X509_ALGOR* alg) {
    for (int i = 0; i < sk_X509_ALGOR_num(algs); ++i)
        if (OBJ_cmp(sk_X509_ALGOR_value(algs, i)->algorithm, alg->algorithm) == 0) return;
    X509_ALGOR* copy = X509_ALGOR_dup(alg);
    if (!copy || !sk_X509_ALGOR_push(algs, copy)) {
        X509_ALGOR_free(copy);
        throw std::bad_alloc();
    }
}

// The content as the caller's bytes for the length of one encoding; the
// container's own content (if any) is put back afterwards.
class LentContent {
public:
    LentContent(ZKD_RAW_ENCAP* encap, const uint8_t* data, size_t len) : encap_(encap) {
        if (!data) return;
        lent_.type = V_ASN1_OCTET_STRING;
        lent_.data = const_cast<uint8_t*>(data);
        lent_.length = static_cast<int>(len);
        saved_ = std::exchange(encap_->content, &lent_);
        active_ = true;
    }
    ~LentContent() {
        if (active_) encap_->content = saved_;
    }
    LentContent(const LentContent&) = delete;
    LentContent& operator=(const LentContent&) = delete;

private:
    ZKD_RAW_ENCAP* encap_;
    ASN1_OCTET_STRING lent_{};
    ASN1_OCTET_STRING* saved_ = nullptr;
    bool active_ = false;
};

}  // namespace

int ForeignDataCode(const uint8_t* data, size_t len) {
    const bool wellFormed = ReadElement(data, len) != nullptr;
    ERR_clear_error();
    return wellFormed ? ZK_E_BAD_FILE_FORMAT : ZK_E_DAMAGED;
}

RawSignedData::RawSignedData() = default;
RawSignedData::RawSignedData(RawSignedData&& other) noexcept : ci_(std::exchange(other.ci_, nullptr)) {}
RawSignedData& RawSignedData::operator=(RawSignedData&& other) noexcept {
    if (this != &other) {
        ZKD_RAW_CI_free(ci_);
        ci_ = std::exchange(other.ci_, nullptr);
    }
    return *this;
}
RawSignedData::~RawSignedData() { ZKD_RAW_CI_free(ci_); }

int RawSignedData::Parse(const uint8_t* data, size_t len) {
    ZKD_RAW_CI_free(std::exchange(ci_, nullptr));
    if (!data || len == 0 || len > LONG_MAX) return ZK_E_DAMAGED;
    const unsigned char* p = data;
    ZKD_RAW_CI* ci = d2i_ZKD_RAW_CI(nullptr, &p, static_cast<long>(len));
    const bool whole = ci && p == data + len;
    ERR_clear_error();
    if (!whole) {
        ZKD_RAW_CI_free(ci);
        return ForeignDataCode(data, len);
    }
    ci_ = ci;
    for (int i = 0; i < SignerCount(); ++i)
        if (sk_ASN1_TYPE_value(ci_->sd->signers, i)->type != V_ASN1_SEQUENCE) {
            ZKD_RAW_CI_free(std::exchange(ci_, nullptr));
            return ZK_E_DAMAGED;
        }
    if (OBJ_obj2nid(ci_->type) != NID_pkcs7_signed || !WithinLimits()) {
        ZKD_RAW_CI_free(std::exchange(ci_, nullptr));
        return ZK_E_BAD_FILE_FORMAT;
    }
    return ZK_E_OK;
}

bool RawSignedData::WithinLimits() const {
    return SignerCount() <= kMaxSigners && sk_ASN1_TYPE_num(ci_->sd->certs) <= kMaxContainerCerts &&
           sk_ASN1_TYPE_num(ci_->sd->crls) <= kMaxContainerCerts;
}

int RawSignedData::SignerCount() const { return ci_ ? sk_ASN1_TYPE_num(ci_->sd->signers) : 0; }

const uint8_t* RawSignedData::SignerBytes(int i, size_t* len) const {
    const ASN1_STRING* s = ElementString(sk_ASN1_TYPE_value(ci_->sd->signers, i));
    *len = s ? static_cast<size_t>(s->length) : 0;
    return s ? s->data : nullptr;
}

void RawSignedData::RemoveSigner(int i) { ASN1_TYPE_free(sk_ASN1_TYPE_delete(ci_->sd->signers, i)); }

void RawSignedData::MergeFrom(const RawSignedData& other) {
    ZKD_RAW_SD* mine = ci_->sd;
    const ZKD_RAW_SD* theirs = other.ci_->sd;
    for (int i = 0; i < sk_X509_ALGOR_num(theirs->digestAlgs); ++i)
        AddDigestAlgorithm(mine->digestAlgs, sk_X509_ALGOR_value(theirs->digestAlgs, i));
    AppendElements(mine->certs, theirs->certs);
    AppendElements(mine->crls, theirs->crls);
    AppendElements(mine->signers, theirs->signers);
    if (ASN1_INTEGER_cmp(theirs->version, mine->version) > 0) {
        ASN1_INTEGER* v = ASN1_INTEGER_dup(theirs->version);
        if (!v) throw std::bad_alloc();
        ASN1_INTEGER_free(std::exchange(mine->version, v));
    }
}

const ASN1_OBJECT* RawSignedData::ContentType() const { return ci_->sd->encap->type; }
const ASN1_OCTET_STRING* RawSignedData::Content() const { return ci_->sd->encap->content; }

void RawSignedData::Detach() { ASN1_OCTET_STRING_free(std::exchange(ci_->sd->encap->content, nullptr)); }

void RawSignedData::AttachContentOf(const RawSignedData& other) {
    ASN1_OCTET_STRING* copy = other.Content() ? ASN1_OCTET_STRING_dup(other.Content()) : nullptr;
    if (other.Content() && !copy) throw std::bad_alloc();
    ASN1_OCTET_STRING_free(std::exchange(ci_->sd->encap->content, copy));
}

size_t RawSignedData::EncodedLength(const uint8_t* lentContent, size_t lentLen) const {
    LentContent lent(ci_->sd->encap, lentContent, lentLen);
    const int n = i2d_ZKD_RAW_CI(ci_, nullptr);
    if (n <= 0) throw std::bad_alloc();  // only a lack of memory fails an encoding of what was read
    return static_cast<size_t>(n);
}

void RawSignedData::Encode(uint8_t* out, const uint8_t* lentContent, size_t lentLen) const {
    LentContent lent(ci_->sd->encap, lentContent, lentLen);
    unsigned char* p = out;
    if (i2d_ZKD_RAW_CI(ci_, &p) <= 0) throw std::bad_alloc();
}

int RawSignedData::AddUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len) {
    return PutUnsignedAttribute(i, type, valueDer, len, false);
}

int RawSignedData::SetUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len) {
    return PutUnsignedAttribute(i, type, valueDer, len, true);
}

int RawSignedData::PutUnsignedAttribute(int i, const ASN1_OBJECT* type, const uint8_t* valueDer, size_t len,
                                        bool replace) {
    size_t siLen = 0;
    const uint8_t* siBytes = SignerBytes(i, &siLen);
    const unsigned char* p = siBytes;
    RawSiPtr si(siBytes ? d2i_ZKD_RAW_SI(nullptr, &p, static_cast<long>(siLen)) : nullptr);
    const bool oneElement = ReadElement(valueDer, len) != nullptr;
    ERR_clear_error();
    if (!si || !oneElement || len > INT_MAX) return ZK_E_DAMAGED;

    // Attribute ::= SEQUENCE { attrType OBJECT IDENTIFIER, attrValues SET OF ANY }; a
    // value held as a SEQUENCE string is written as the bytes it holds.
    std::unique_ptr<X509_ATTRIBUTE, OsslFree<X509_ATTRIBUTE_free>> attribute(
        X509_ATTRIBUTE_create_by_OBJ(nullptr, type, V_ASN1_SEQUENCE, valueDer, static_cast<int>(len)));
    if (!attribute) throw std::bad_alloc();
    unsigned char* der = nullptr;
    const int derLen = i2d_X509_ATTRIBUTE(attribute.get(), &der);
    TypePtr element = derLen > 0 ? ReadElement(der, static_cast<size_t>(derLen)) : nullptr;
    OPENSSL_free(der);
    if (!element) throw std::bad_alloc();
    if (!si->unsignedAttrs && !(si->unsignedAttrs = sk_ASN1_TYPE_new_null())) throw std::bad_alloc();
    const int at = replace ? AttributeIndex(si->unsignedAttrs, type) : -1;
    if (at >= 0) {
        ASN1_TYPE_free(sk_ASN1_TYPE_value(si->unsignedAttrs, at));
        sk_ASN1_TYPE_set(si->unsignedAttrs, at, element.release());
    } else {
        if (!sk_ASN1_TYPE_push(si->unsignedAttrs, element.get())) throw std::bad_alloc();
        element.release();
    }

    der = nullptr;
    const int newLen = i2d_ZKD_RAW_SI(si.get(), &der);
    TypePtr replaced = newLen > 0 ? ReadElement(der, static_cast<size_t>(newLen)) : nullptr;
    OPENSSL_free(der);
    if (!replaced) throw std::bad_alloc();
    ASN1_TYPE* old = sk_ASN1_TYPE_value(ci_->sd->signers, i);
    sk_ASN1_TYPE_set(ci_->sd->signers, i, replaced.release());  // returns the new element
    ASN1_TYPE_free(old);
    return ZK_E_OK;
}

}  // namespace zkd
