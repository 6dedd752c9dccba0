#include "platform/Der.h"

#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <climits>

namespace zk::der {

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

bool ReadAs(const uint8_t* at, const uint8_t* limit, int tag, int cls, bool constructed, Element& e) {
    return Read(at, limit, e) && Is(e, tag, cls, constructed);
}

bool IsObject(const Element& e, int nid) {
    if (!Is(e, V_ASN1_OBJECT, V_ASN1_UNIVERSAL, false)) return false;
    const unsigned char* p = e.start;
    ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(e.end() - e.start));
    const bool yes = obj && OBJ_obj2nid(obj) == nid;
    ASN1_OBJECT_free(obj);
    return yes;
}

void PutHeader(std::vector<uint8_t>& out, bool constructed, size_t length, int tag, int cls) {
    const int total = ASN1_object_size(constructed ? 1 : 0, static_cast<int>(length), tag);
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(total) - length);
    unsigned char* p = out.data() + at;
    ASN1_put_object(&p, constructed ? 1 : 0, static_cast<int>(length), tag, cls);
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

size_t Sized(size_t length, int tag) {
    if (length > INT_MAX) return 0;
    const int total = ASN1_object_size(1, static_cast<int>(length), tag);
    return total < 0 ? 0 : static_cast<size_t>(total);
}

std::optional<ContentFrame> FrameSignedData(const SignedDataParts& parts, size_t contentLength, bool attached) {
    // The lengths, innermost first; 0 is one that does not fit.
    const size_t octets = attached ? Sized(contentLength, V_ASN1_OCTET_STRING) : 0;
    const size_t content0 = octets ? Sized(octets, 0) : 0;
    if (attached && content0 == 0) return std::nullopt;
    const size_t encapLength = content0 + parts.contentType.size();
    const size_t encapSize = Sized(encapLength, V_ASN1_SEQUENCE);
    const size_t signedLength =
        parts.version.size() + parts.digestAlgorithms.size() + encapSize + parts.rest.size();
    const size_t signedSize = encapSize ? Sized(signedLength, V_ASN1_SEQUENCE) : 0;
    const size_t explicitSize = signedSize ? Sized(signedSize, 0) : 0;
    const size_t infoLength = parts.infoType.size() + explicitSize;
    const size_t infoSize = explicitSize ? Sized(infoLength, V_ASN1_SEQUENCE) : 0;
    if (infoSize == 0 || infoSize > UINT32_MAX) return std::nullopt;

    ContentFrame frame;
    PutHeader(frame.head, true, infoLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, parts.infoType);
    PutHeader(frame.head, true, signedSize, 0, V_ASN1_CONTEXT_SPECIFIC);
    PutHeader(frame.head, true, signedLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, parts.version);
    Append(frame.head, parts.digestAlgorithms);
    PutHeader(frame.head, true, encapLength, V_ASN1_SEQUENCE, V_ASN1_UNIVERSAL);
    Append(frame.head, parts.contentType);
    if (attached) {
        PutHeader(frame.head, true, octets, 0, V_ASN1_CONTEXT_SPECIFIC);
        PutHeader(frame.head, false, contentLength, V_ASN1_OCTET_STRING, V_ASN1_UNIVERSAL);
    }
    Append(frame.tail, parts.rest);
    return frame;
}

}  // namespace zk::der
