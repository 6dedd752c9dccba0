// Packed texts ("PACKED_XML" blocks): the text is compressed as an LZMA86
// stream (one filter byte, 0 or 1 for the x86 branch filter; five LZMA
// property bytes; the unpacked size as 64-bit little-endian; raw LZMA data,
// an end marker allowed) and its first bytes are then scrambled:
// - when the stream is longer than 76 bytes and ends with a valid trailer of
//   version 1, its first n bytes (n = (length - 13) / 2, at most 512) are
//   XORed with the n bytes that end 13 bytes before the stream's end and
//   with the trailer's key byte;
// - otherwise its first 160 bytes (fewer in a shorter stream) are XORed with
//   the built-in 16-byte key, repeated.
// Trailer (25 bytes, last in the stream): a 16-bit word A, a 10-byte mask,
// 10 marker bytes, the key byte, a 16-bit word B (words little-endian); it
// is valid when each marker XOR its mask byte gives "1234567890", and its
// version is A XOR B. The scrambling is its own inverse. docs/packed-xml.md
// describes the format for producers; tools/zkpack is the producer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zk {

// The built-in key of streams without a trailer.
extern const uint8_t kPackedXmlKey[16];

// How many leading bytes of the stream the scrambling covers.
size_t ScrambledLength(std::span<const uint8_t> stream);
// Scrambles (or unscrambles) head, a copy of the stream's first
// ScrambledLength(stream) bytes, with the key material stream selects.
void ScrambleHead(std::span<const uint8_t> stream, std::span<uint8_t> head);

// The unpacked size a packed stream states in its LZMA86 header; nothing
// when the stream is too short to state one.
std::optional<uint64_t> PackedTextSize(std::span<const uint8_t> packed);

// Unpacks a packed stream (the block after its 15-byte header) whose
// declared unpacked size is declaredSize (0 = not stated): 0 with the text,
// which has room for one byte more; 10 when the stream is damaged, states a
// size of 0 or beyond maxSize, or its size differs from a declared one, and
// when the current request is cancelled meanwhile (it is looked at after
// every few MiB unpacked). Memory grows with the text actually unpacked, up
// to the stated size.
int UnpackPackedXml(std::span<const uint8_t> packed, uint32_t declaredSize, uint64_t maxSize,
                    std::vector<uint8_t>& text);

}  // namespace zk
