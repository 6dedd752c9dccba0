// The provider's data blocks: how slot 5 tells their kinds apart, the frames
// the crypto libraries put around their envelopes, and the in-place
// unwrapping of text forms (slot 22).
//
// Kinds (slot 5): 13 an envelope, 14 CMS SignedData, 18 RFC 5544
// TimeStampedData, 19 a PEM-armoured block ("-----BEGIN CMS-----"), 20 the
// Base64 text of a block. A kind is told from the first bytes, so that a
// damaged block of a known kind is still reported as that kind and the
// operation on it answers that it is damaged.
//
// Envelope frames, by the library that makes them:
//   "USC": "USC_CRYPT\0", LE32 n, the sender's certificate (n bytes), then
//          the EnvelopedData;
//   "QLB": "QLB_CRYPT\0", LE32 n, a DER SEQUENCE of the sender's and the
//          recipients' certificates (n bytes), then the EnvelopedData;
//   "UA1" and every other library: the bare EnvelopedData.
// "USC_CRYPT\0" directly followed by a "QLB" frame is read as that frame.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelkord/Ossl.h"

namespace zkd {

// The kind of a block and the code of the library that makes such blocks
// ("USC", "QLB", "UA1"); 0 when it is no block of the provider.
int DetectBlockType(const uint8_t* data, size_t len, const char** libCode);

// The kind of a bare CMS ContentInfo by its first bytes (the SEQUENCE header
// in any length form and the content type): ZK_BLOCK_ENVELOPE,
// ZK_BLOCK_SIGNED, ZK_BLOCK_TIMESTAMPED; 0 for anything else.
int CmsContentKind(const uint8_t* data, size_t len);

enum class Frame { Bare, Usc, Qlb };
Frame FrameOfLibrary(const std::string& code);

struct EnvelopeBlock {
    Frame frame = Frame::Bare;
    const uint8_t* sender = nullptr;  // the sender's certificate as the frame carries it
    size_t senderLen = 0;
    const uint8_t* envelope = nullptr;  // the EnvelopedData
    size_t envelopeLen = 0;
};
// Reads the frame of an envelope block: 0; 10 when the frame is damaged.
int ReadEnvelopeBlock(const uint8_t* data, size_t len, EnvelopeBlock& out);

// The frame a library writes before the EnvelopedData.
Bytes FrameHeader(Frame frame, X509* sender, const std::vector<X509*>& recipients);

// The sender certificate header ("CERTCRYPT\0", LE32 n, the certificate)
// in front of an envelope: 0 with the certificate and what follows it; 9
// without the header; 10 when its length is negative or beyond the block.
int ReadCertCryptHeader(const uint8_t* data, size_t len, const uint8_t*& cert, size_t& certLen,
                        const uint8_t*& rest, size_t& restLen);

// Slot 22's work: the block of kind 19 or 20 decoded in place; len becomes
// the decoded size. 0; 9 when the block is of neither kind; 10 when its
// text is damaged.
int UnwrapInPlace(uint8_t* data, size_t& len);

}  // namespace zkd
