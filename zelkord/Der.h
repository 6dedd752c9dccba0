// A small reader and rewriter of DER headers, for the places where a large
// CMS structure is handled without copying its content: the content of a
// SignedData or the ciphertext of an EnvelopedData is located in the
// caller's bytes, and the structure around it is parsed (or written) without
// it. Only definite lengths and one-byte tags are read; anything else is
// refused, and the callers fall back to parsing the whole structure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zkd::der {

// One element: its tag byte, where it starts, the size of its header and of
// its content. Every length is checked against the bytes it came from.
struct Item {
    uint8_t tag = 0;
    size_t start = 0;
    size_t headerLen = 0;
    size_t length = 0;
    size_t ContentStart() const { return start + headerLen; }
    size_t End() const { return start + headerLen + length; }
};

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kContext0 = 0xA0;      // [0] constructed
constexpr uint8_t kContext0Prim = 0x80;  // [0] primitive
constexpr uint8_t kContext1 = 0xA1;      // [1] constructed

// Reads the element at `at` that must end by `limit`; false when the bytes
// do not hold one (indefinite length, long tag, length beyond limit).
bool ReadItem(const uint8_t* data, size_t limit, size_t at, Item& item);

// Reads the header only (the content may run past the bytes given); true
// with item.length as written there.
bool ReadHeader(const uint8_t* data, size_t limit, size_t at, Item& item);

// Size of a header for a content of `length` bytes, and the header itself.
size_t HeaderSize(size_t length);
size_t WriteHeader(uint8_t tag, size_t length, uint8_t* out);

// True when the element's content is exactly value.
bool ContentEquals(const uint8_t* data, const Item& item, const uint8_t* value, size_t valueLen);

// Replaces the bytes [from, to) inside the innermost of the nested elements
// `path` (outermost first, each inside the one before) by a gap of gapLen
// bytes: prefix holds every header (rewritten for the new lengths) and the
// bytes before the gap, suffix the bytes after it. prefix + gap + suffix is
// the rewritten outermost element.
void Splice(const uint8_t* data, const std::vector<Item>& path, size_t from, size_t to, size_t gapLen,
            std::vector<uint8_t>& prefix, std::vector<uint8_t>& suffix);

}  // namespace zkd::der
