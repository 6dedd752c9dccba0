// Transport headers of protected documents, the tag classifier and block
// detection.
//
// A block has a tag when it is at least one byte longer than the tag text
// and begins with the tag text and a zero byte. Headers the system reads
// (lengths are 32-bit little-endian signed and never negative):
//   "TRANSPORTABLE"      tag 0..13, length at 14, body from 18 (the sending
//                        side's transport information, kept opaque);
//   "ZPOSTTRANSPORTABLE" tag 0..18, length at 19, body from 23 (likewise);
//   "CERTCRYPT"          tag 0..9, length at 10, body from 14 (the sender's
//                        certificate, DER);
//   "PACKED_XML"         tag 0..10, declared unpacked size at 11 (0 = not
//                        stated), the packed text from 15 to the end.
// The next layer starts right after a header's body.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zk {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// Types of the tag classifier.
enum TagType : int {
    kTagNone = 0,
    kTagUscCrypt = 1,
    kTagUscSign = 2,
    kTagTransportable = 3,
    kTagIvkCrypt = 4,
    kTagIvkSign = 5,
    kTagPackedXml = 6,
    kTagZPostTransportable = 7,
    kTagUscStamp = 8,
    kTagUscIntSigns = 9,
    kTagUscIntStamp = 10,
    kTagLstSgnProp = 11,
    kTagRcvTime = 15,
    kTagDocPrm = 16,
    kTagBufDocKvt = 26,
    kTagBufDocSnd = 27,
    kTagBufPstSnd = 28,
    kTagBufDocDcr = 29,
    kTagQlbCrypt = 30,
    kTagQlbSign = 31,
    kTagQlbStamp = 32,
    kTagQlbIntSigns = 33,
    kTagQlbIntStamp = 34,
    kTagCertCrypt = 35,
};

// The type of the block's tag; kTagNone when it has none.
int ClassifyTag(ByteSpan block);

// The provider's kind of the block (methods-table slot 5) with the index of
// the library that made it; when the provider does not know it, the tag
// classifier's type (libIndex -1). An empty block is 0.
int DetectBlock(ByteSpan block, int32_t* libIndex = nullptr);

// Header readers: the body of the header at the cursor's start; the cursor
// moves past the body. 0; 9 when the cursor holds no such header; 10 when it
// is too short, its length negative or its body beyond the block.
int ReadTransportable(ByteSpan& cursor, ByteSpan& body);
int ReadZPostTransportable(ByteSpan& cursor, ByteSpan& body);
// With senderLibrary, also the sender's crypto library from the certificate
// (read with the parsing library, "QLB" when loaded, else "USC"): the
// library identity of its issuer's class, 0 when it is unreadable.
int ReadCertCrypt(ByteSpan& cursor, ByteSpan& cert, int* senderLibrary = nullptr);
// The "PACKED_XML" header: the declared size and the packed text (the rest
// of the block). 0, 9 or 10 as above.
int ReadPackedXmlHeader(ByteSpan block, uint32_t& declaredSize, ByteSpan& packed);

// The originator certificate from the prefix of an envelope block of the
// library libCode (the one slot 5 named): after the block's zero-terminated
// text, a 32-bit length (more than 3, within the block) and that many bytes:
// the certificate for "USC", a DER structure whose first element is the
// certificate for "QLB". A "USC" block whose rest is itself a "QLB" envelope
// is read as that one. 0; 2 for another library; 10 when the prefix is
// malformed.
int ReadEnvelopePrefixCert(ByteSpan block, const std::string& libCode, Bytes& cert);

// Writers: the "CERTCRYPT" header carrying cert, and a "TRANSPORTABLE"
// header with body in front of content.
Bytes CertCryptHeader(ByteSpan cert);
Bytes WrapTransportable(ByteSpan body, ByteSpan content);

}  // namespace zk
