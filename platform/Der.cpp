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

}  // namespace zk::der
