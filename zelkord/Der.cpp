#include "zelkord/Der.h"

#include <cstring>

namespace zkd::der {

bool ReadHeader(const uint8_t* data, size_t limit, size_t at, Item& item) {
    if (!data || at >= limit || limit - at < 2) return false;
    const uint8_t tag = data[at];
    if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags are not used by the structures read here
    size_t pos = at + 1;
    const uint8_t first = data[pos++];
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        const size_t count = first & 0x7F;
        if (count == 0 || count > sizeof(size_t) || count > limit - pos) return false;  // indefinite or absurd
        for (size_t i = 0; i < count; ++i) length = (length << 8) | data[pos++];
    }
    item.tag = tag;
    item.start = at;
    item.headerLen = pos - at;
    item.length = length;
    return true;
}

bool ReadItem(const uint8_t* data, size_t limit, size_t at, Item& item) {
    return ReadHeader(data, limit, at, item) && item.length <= limit - item.ContentStart();
}

size_t HeaderSize(size_t length) {
    size_t n = 2;
    if (length >= 0x80)
        for (size_t rest = length; rest; rest >>= 8) ++n;
    return n;
}

size_t WriteHeader(uint8_t tag, size_t length, uint8_t* out) {
    const size_t size = HeaderSize(length);
    out[0] = tag;
    if (length < 0x80) {
        out[1] = static_cast<uint8_t>(length);
    } else {
        const size_t count = size - 2;
        out[1] = static_cast<uint8_t>(0x80 | count);
        for (size_t i = 0; i < count; ++i) out[size - 1 - i] = static_cast<uint8_t>(length >> (8 * i));
    }
    return size;
}

bool ContentEquals(const uint8_t* data, const Item& item, const uint8_t* value, size_t valueLen) {
    return item.length == valueLen && std::memcmp(data + item.ContentStart(), value, valueLen) == 0;
}

void Splice(const uint8_t* data, const std::vector<Item>& path, size_t from, size_t to, size_t gapLen,
            std::vector<uint8_t>& prefix, std::vector<uint8_t>& suffix) {
    prefix.clear();
    suffix.clear();
    // New content lengths from the inside out: each element also grows or
    // shrinks by the change of its child's header.
    std::vector<size_t> lengths(path.size());
    for (size_t i = path.size(); i-- > 0;) {
        const Item& e = path[i];
        if (i + 1 == path.size()) {
            lengths[i] = e.length - (to - from) + gapLen;
        } else {
            const Item& child = path[i + 1];
            lengths[i] = e.length - (child.headerLen + child.length) + HeaderSize(lengths[i + 1]) + lengths[i + 1];
        }
    }
    uint8_t header[2 + sizeof(size_t)];
    for (size_t i = 0; i < path.size(); ++i) {
        const Item& e = path[i];
        const size_t n = WriteHeader(e.tag, lengths[i], header);
        prefix.insert(prefix.end(), header, header + n);
        const size_t until = i + 1 < path.size() ? path[i + 1].start : from;
        prefix.insert(prefix.end(), data + e.ContentStart(), data + until);
    }
    for (size_t i = path.size(); i-- > 0;) {
        const size_t after = i + 1 < path.size() ? path[i + 1].End() : to;
        suffix.insert(suffix.end(), data + after, data + path[i].End());
    }
}

}  // namespace zkd::der
