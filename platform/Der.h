// Walking and writing DER by its elements, where an answer is assembled
// around bytes that are already encoded (a content the caller holds, the
// parts of a signature that stay the same): OpenSSL's ASN1_get_object reads
// each header, ASN1_put_object writes it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zk::der {

// One element: where it starts, its contents and its tag.
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
bool Read(const uint8_t* at, const uint8_t* limit, Element& e);
// Read, and the element has this tag, class and form.
bool ReadAs(const uint8_t* at, const uint8_t* limit, int tag, int cls, bool constructed, Element& e);
bool Is(const Element& e, int tag, int cls, bool constructed);
// Whether e is an OBJECT IDENTIFIER of OpenSSL's nid.
bool IsObject(const Element& e, int nid);

// The header of an element with length bytes of contents, appended to out.
void PutHeader(std::vector<uint8_t>& out, bool constructed, size_t length, int tag, int cls);
void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes);

// The size of a whole element with length bytes of contents, or 0 when it is
// beyond what a 32-bit length (and OpenSSL's int) can carry.
size_t Sized(size_t length, int tag);

// A ContentInfo holding a SignedData, written around its content: its DER is
// head + content + tail.
struct ContentFrame {
    std::vector<uint8_t> head, tail;
};
// What such a ContentInfo is made of besides the content, each as encoded.
struct SignedDataParts {
    std::span<const uint8_t> infoType;          // the ContentInfo's content type (signedData)
    std::span<const uint8_t> version, digestAlgorithms;
    std::span<const uint8_t> contentType;       // the encapContentInfo's eContentType
    std::span<const uint8_t> rest;              // certificates, CRLs and signerInfos
};
// With attached the encapContentInfo carries the content ([0] EXPLICIT OCTET
// STRING of contentLength bytes, definite lengths), else its type alone (and
// contentLength is not used). Nothing when the whole would not fit a 32-bit
// length.
std::optional<ContentFrame> FrameSignedData(const SignedDataParts& parts, size_t contentLength, bool attached);

}  // namespace zk::der
