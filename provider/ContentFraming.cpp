#include "provider/ContentFraming.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>

namespace zk::provider {
namespace {

// One DER element: where it starts, its contents and its tag.
struct Element {
    const uint8_t* start = nullptr;
    const uint8_t* content = nullptr;
    size_t length = 0;
    int tag = 0, cls = 0;
    bool constructed = false;
    const uint8_t* end() const { return content + length; }
    std::span<const uint8_t> whole() const { return {start, end()}; }
};

// The element at at, with a definite length that ends by limit.
bool Read(const uint8_t* at, const uint8_t* limit, Element& e) {
    if (at >= limit) return false;
    const unsigned char* p = at;
    long length = 0;
    const int r = ASN1_get_object(&p, &length, &e.tag, &e.cls, limit - at);
    if ((r & 0x80) || (r & 0x01)) return false;  // malformed, or indefinite length
    e.start = at;
    e.content = p;
    e.length = static_cast<size_t>(length);
    e.constructed = (r & V_ASN1_CONSTRUCTED) != 0;
    return e.length <= static_cast<size_t>(limit - p);
}

bool Is(const Element& e, int tag, int cls, bool constructed) {
    return e.tag == tag && e.cls == cls && e.constructed == constructed;
}

bool IsSignedDataType(const Element& oid) {
    const unsigned char* p = oid.start;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(oid.end() - oid.start));
    const bool yes = obj && OBJ_obj2nid(obj) == NID_pkcs7_signed;
    ASN1_OBJECT_free(obj);
    return yes;
}

// The header of an element with length bytes of contents, appended to out.
void PutHeader(std::vector<uint8_t>& out, bool constructed, size_t length, int tag, int cls) {
    const int total = ASN1_object_size(constructed ? 1 : 0, static_cast<int>(length), tag);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(total) - length);
    unsigned char* p = out.data() + at;
    ASN1_put_object(&p, constructed ? 1 : 0, static_cast<int>(length), tag, cls);
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// The size of an element with length bytes of contents, or 0 when it is beyond
// what a 32-bit length of the contract (and OpenSSL's int) can carry.
size_t Sized(size_t length, int tag) {
    if (length > INT_MAX) return 0;
    const int total = ASN1_object_size(1, static_cast<int>(length), tag);
    return total < 0 ? 0 : static_cast<size_t>(total);
}

}  // namespace

std::optional<ContentFrame> FrameAttachedContent(std::span<const uint8_t> detached, size_t contentLength) {
    // ContentInfo { contentType signedData, [0] SignedData { version,
    // digestAlgorithms, encapContentInfo { eContentType }, the rest } }
    const uint8_t* const end = detached.data() + detached.size();
    Element info, type, explicit0, signedData, version, digests, encap, encapType;
    if (!Read(detached.data(), end, info) || info.end() != end || !Is(info, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    if (!Read(info.content, info.end(), type) || !Is(type, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, false) ||
        !IsSignedDataType(type))
        return std::nullopt;
    if (!Read(type.end(), info.end(), explicit0) || explicit0.end() != info.end() ||
        !Is(explicit0, 0, V_ASN1_CONTEXT_SPECIFIC, true))
        return std::nullopt;
    if (!Read(explicit0.content, explicit0.end(), signedData) || signedData.end() != explicit0.end() ||
        !Is(signedData, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    if (!Read(signedData.content, signedData.end(), version) || !Is(version, V_ASN1_INTEGER, V_ASN1_UNIVERSAL, false) ||
        !Read(version.end(), signedData.end(), digests) || !Is(digests, V_ASN1_SET, V_ASN1_UNIVERSAL, true) ||
        !Read(digests.end(), signedData.end(), encap) || !Is(encap, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL, true))
        return std::nullopt;
    // Without content, the content type is all the encapContentInfo holds.
    if (!Read(encap.content, encap.end(), encapType) || encapType.end() != encap.end() ||
        !Is(encapType, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, false))
        return std::nullopt;
    const std::span<const uint8_t> rest(encap.end(), signedData.end());

    // The lengths of the attached form, innermost first.
    const size_t octets = Sized(contentLength, V_ASN1_OCTET_STRING);
    const size_t content0 = octets ? Sized(octets, 0) : 0;
    const size_t encapLength = content0 + encapType.whole().size();
    const size_t encapSize = content0 ? Sized(encapLength, V_ASN1_SEQUENCE) : 0;
    const size_t signedLength = version.whole().size() + digests.whole().size() + encapSize + rest.size();
    const size_t signedSize = encapSize ? Sized(signedLength, V_ASN1_SEQUENCE) : 0;
    const size_t explicitSize = signedSize ? Sized(signedSize, 0) : 0;
    const size_t infoLength = type.whole().size() + explicitSize;
    const size_t infoSize = explicitSize ? Sized(infoLength, V_ASN1_SEQUENCE) : 0;
    if (infoSize == 0 || infoSize > UINT32_MAX) return std::nullopt;

    ContentFrame frame;
    PutHeader(frame.head, true, infoLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, type.whole());
    PutHeader(frame.head, true, signedSize, 0, V_ASN1_CONTEXT_SPECIFIC);
    PutHeader(frame.head, true, signedLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, version.whole());
    Append(frame.head, digests.whole());
    PutHeader(frame.head, true, encapLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, encapType.whole());
    PutHeader(frame.head, true, octets, 0, V_ASN1_CONTEXT_SPECIFIC);
    PutHeader(frame.head, false, contentLength, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL);
    Append(frame.tail, rest);
    return frame;
}

}  // namespace zk::provider
