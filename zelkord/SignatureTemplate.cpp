#include "zelkord/SignatureTemplate.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <ctime>
#include <span>

#include "platform/Der.h"
#include "zelkord/Cades.h"
#include "zelkord/Errors.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

using namespace zk::der;

constexpr int kUniversal = V_ASN1_UNIVERSAL;
constexpr int kContext = V_ASN1_CONTEXT_SPECIFIC;
// The signing time the template's own signature is made with: any time
// serves, it is replaced in every signature.
constexpr int64_t kMadeAt = 1700000000;

Bytes Whole(const Element& e) { return Bytes(e.start, e.end()); }
std::span<const uint8_t> View(const Bytes& b) { return {b.data(), b.size()}; }

// An element of this tag around contents made of parts.
void PutElement(Bytes& out, bool constructed, int tag, int cls, std::initializer_list<std::span<const uint8_t>> parts) {
    size_t length = 0;
    for (auto p : parts) length += p.size();
    PutHeader(out, constructed, length, tag, cls);
    for (auto p : parts) Append(out, p);
}

// An attribute { type, SET { value } }.
Bytes Attribute(const Bytes& type, std::span<const uint8_t> value) {
    Bytes set, attr;
    PutElement(set, true, V_ASN1_SET, kUniversal, {value});
    PutElement(attr, true, V_ASN1_SEQUENCE, kUniversal, {View(type), View(set)});
    return attr;
}

// The signing time's value as OpenSSL encodes it (UTCTime up to 2049,
// GeneralizedTime after).
bool TimeDer(int64_t at, Bytes& out) {
    TimePtr t(ASN1_TIME_set(nullptr, static_cast<time_t>(at)));
    unsigned char* der = nullptr;
    const int n = t ? i2d_ASN1_TIME(t.get(), &der) : -1;
    if (n > 0) out.assign(der, der + n);
    OPENSSL_free(der);
    return n > 0;
}

// The DER order of a SET OF: as octet strings, a shorter one that is a
// prefix of a longer one first (X.690 11.6, as OpenSSL sorts).
bool DerBefore(const Bytes& a, const Bytes& b) {
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? c < 0 : a.size() < b.size();
}

// The sequence of elements that fill [begin, end) exactly, at most n.
bool Elements(const uint8_t* begin, const uint8_t* end, std::span<Element> out, size_t& n) {
    n = 0;
    for (const uint8_t* at = begin; at < end; at = out[n - 1].end()) {
        if (n == out.size() || !Read(at, end, out[n])) return false;
        ++n;
    }
    return true;
}

}  // namespace

std::unique_ptr<const SignatureTemplate> SignatureTemplate::Make(X509* cert, EVP_PKEY* key) {
    if (!cert || !key || !(EVP_PKEY_is_a(key, "EC") || EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)) return nullptr;
    SignedAttributes attrs;
    attrs.signingTime = kMadeAt;
    CmsPtr cms;
    if (SignContent(nullptr, 0, cert, key, attrs, nullptr, cms) != 0) return nullptr;
    unsigned char* der = nullptr;
    const int n = i2d_CMS_ContentInfo(cms.get(), &der);
    const Bytes made(der, der + std::max(n, 0));
    OPENSSL_free(der);
    ERR_clear_error();
    if (n <= 0) return nullptr;

    // ContentInfo { signedData, [0] { SignedData { version, digestAlgorithms,
    // encapContentInfo { data }, [0] certificates, signerInfos SET { one
    // SignerInfo { version, sid, digestAlgorithm, [0] signedAttrs,
    // signatureAlgorithm, signature } } } } }
    std::unique_ptr<SignatureTemplate> t(new SignatureTemplate);
    const uint8_t* const end = made.data() + made.size();
    Element info, type, explicit0, sd, parts[5], signers, signer, fields[6], encapType;
    size_t count = 0;
    if (!ReadAs(made.data(), end, V_ASN1_SEQUENCE, kUniversal, true, info) || info.end() != end ||
        !Read(info.content, info.end(), type) || !IsObject(type, NID_pkcs7_signed) ||
        !ReadAs(type.end(), info.end(), 0, kContext, true, explicit0) || explicit0.end() != info.end() ||
        !ReadAs(explicit0.content, explicit0.end(), V_ASN1_SEQUENCE, kUniversal, true, sd) ||
        sd.end() != explicit0.end() || !Elements(sd.content, sd.end(), parts, count) || count != 5)
        return nullptr;
    const Element &version = parts[0], &digests = parts[1], &encap = parts[2], &certs = parts[3];
    signers = parts[4];
    if (!Is(version, V_ASN1_INTEGER, kUniversal, false) || !Is(digests, V_ASN1_SET, kUniversal, true) ||
        !Is(encap, V_ASN1_SEQUENCE, kUniversal, true) || !Is(certs, 0, kContext, true) ||
        !Is(signers, V_ASN1_SET, kUniversal, true) ||
        !ReadAs(encap.content, encap.end(), V_ASN1_OBJECT, kUniversal, false, encapType) ||
        encapType.end() != encap.end() ||
        !ReadAs(signers.content, signers.end(), V_ASN1_SEQUENCE, kUniversal, true, signer) ||
        signer.end() != signers.end() || !Elements(signer.content, signer.end(), fields, count) || count != 6)
        return nullptr;
    const Element &signedAttrs = fields[3], &signature = fields[5];
    if (!Is(fields[0], V_ASN1_INTEGER, kUniversal, false) || !Is(fields[2], V_ASN1_SEQUENCE, kUniversal, true) ||
        !Is(signedAttrs, 0, kContext, true) || !Is(fields[4], V_ASN1_SEQUENCE, kUniversal, true) ||
        !Is(signature, V_ASN1_OCTET_STRING, kUniversal, false))
        return nullptr;

    // The four attributes of a signature without optional ones, each once.
    Element attrList[4];
    if (!Elements(signedAttrs.content, signedAttrs.end(), attrList, count) || count != 4) return nullptr;
    int found = 0;
    for (const Element& a : attrList) {
        Element oid;
        if (!Is(a, V_ASN1_SEQUENCE, kUniversal, true) || !Read(a.content, a.end(), oid)) return nullptr;
        const auto mark = [&](int nid, int bit, Bytes& keep, bool whole) {
            if (!IsObject(oid, nid)) return false;
            found |= bit;
            keep = whole ? Whole(a) : Whole(oid);
            return true;
        };
        if (!mark(NID_pkcs9_contentType, 1, t->contentTypeAttr_, true) &&
            !mark(NID_pkcs9_signingTime, 2, t->timeType_, false) &&
            !mark(NID_pkcs9_messageDigest, 4, t->digestType_, false) &&
            !mark(NID_id_smime_aa_signingCertificateV2, 8, t->certificateAttr_, true))
            return nullptr;
    }
    if (found != 15) return nullptr;

    t->cert_ = CertificateDer(cert);
    t->md_ = SignatureDigestFor(key);
    t->infoType_ = Whole(type);
    t->version_ = Whole(version);
    t->digestAlgorithms_ = Whole(digests);
    t->contentType_ = Whole(encapType);
    t->certificates_ = Whole(certs);
    t->signerVersion_ = Whole(fields[0]);
    t->signerId_ = Whole(fields[1]);
    t->signerDigest_ = Whole(fields[2]);
    t->signatureAlgorithm_ = Whole(fields[4]);

    // The template gives back the very signature it was made from, or it is not used.
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLen = 0;
    Bytes time;
    ContentFrame rebuilt;
    if (t->cert_.empty() || EVP_Digest(nullptr, 0, digest.data(), &digestLen, t->md_, nullptr) != 1 ||
        !TimeDer(kMadeAt, time) ||
        !t->Assemble(0, false, t->AttributesWith(digest.data(), digestLen, time),
                     Bytes(signature.content, signature.end()), rebuilt))
        return nullptr;
    Append(rebuilt.head, View(rebuilt.tail));
    if (rebuilt.head != made) return nullptr;
    return t;
}

bool SignatureTemplate::IsFor(const uint8_t* cert, size_t certLen) const {
    return cert && certLen == cert_.size() && std::memcmp(cert, cert_.data(), certLen) == 0;
}

Bytes SignatureTemplate::AttributesWith(const uint8_t* digest, size_t digestLen, const Bytes& time) const {
    Bytes digestValue;
    PutElement(digestValue, false, V_ASN1_OCTET_STRING, kUniversal, {{digest, digestLen}});
    std::array<Bytes, 4> attrs = {contentTypeAttr_, Attribute(timeType_, View(time)),
                                  Attribute(digestType_, View(digestValue)), certificateAttr_};
    std::sort(attrs.begin(), attrs.end(), DerBefore);
    Bytes out;
    for (const Bytes& a : attrs) Append(out, View(a));
    return out;
}

bool SignatureTemplate::Assemble(size_t contentLen, bool attached, const Bytes& signedAttrs, const Bytes& signature,
                                 ContentFrame& out) const {
    Bytes attrs, sig, signer, rest = certificates_;
    PutElement(attrs, true, 0, kContext, {View(signedAttrs)});
    PutElement(sig, false, V_ASN1_OCTET_STRING, kUniversal, {View(signature)});
    PutElement(signer, true, V_ASN1_SEQUENCE, kUniversal,
               {View(signerVersion_), View(signerId_), View(signerDigest_), View(attrs), View(signatureAlgorithm_),
                View(sig)});
    PutElement(rest, true, V_ASN1_SET, kUniversal, {View(signer)});  // the signerInfos, after the certificates
    auto frame = FrameSignedData({View(infoType_), View(version_), View(digestAlgorithms_), View(contentType_), View(rest)},
                                 contentLen, attached);
    if (!frame) return false;
    out = std::move(*frame);
    return true;
}

int SignatureTemplate::Sign(const uint8_t* data, size_t len, int64_t signingTime, bool attached, EVP_PKEY* key,
                            uint8_t* out, uint32_t* outLen) const {
    if (len > INT_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "the document is too large");
    static const uint8_t kEmpty = 0;
    if (!data) data = &kEmpty;
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLen = 0;
    Bytes time;
    if (EVP_Digest(data, len, digest.data(), &digestLen, md_, nullptr) != 1 ||
        !TimeDer(signingTime ? signingTime : static_cast<int64_t>(std::time(nullptr)), time))
        return Fail(ZK_E_SIGN_OR_PASSWORD, "signing failed");

    // The signature is over the attributes as a SET (their [0] tag replaced).
    const Bytes attrs = AttributesWith(digest.data(), digestLen, time);
    Bytes signedBytes;
    PutElement(signedBytes, true, V_ASN1_SET, kUniversal, {View(attrs)});
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t sigLen = 0;
    Bytes signature;
    bool ok = ctx && EVP_DigestSignInit(ctx.get(), nullptr, md_, nullptr, key) == 1 &&
              EVP_DigestSign(ctx.get(), nullptr, &sigLen, signedBytes.data(), signedBytes.size()) == 1;
    if (ok) {
        signature.resize(sigLen);
        ok = EVP_DigestSign(ctx.get(), signature.data(), &sigLen, signedBytes.data(), signedBytes.size()) == 1;
        signature.resize(sigLen);
    }
    ContentFrame frame;
    ok = ok && Assemble(len, attached, attrs, signature, frame);
    ERR_clear_error();
    if (!ok) return Fail(ZK_E_SIGN_OR_PASSWORD, "signing failed");
    const size_t content = attached ? len : 0;
    const size_t size = frame.head.size() + content + frame.tail.size();
    if (size > *outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
    std::memcpy(out, frame.head.data(), frame.head.size());
    if (content) std::memcpy(out + frame.head.size(), data, content);
    std::memcpy(out + frame.head.size() + content, frame.tail.data(), frame.tail.size());
    *outLen = static_cast<uint32_t>(size);
    return ZK_E_OK;
}

}  // namespace zkd
