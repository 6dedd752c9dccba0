#include "base/StrictBase64.h"

#include <array>
#include <cstring>

#include "base/Base64Blocks.h"
#include "base/CBase64.h"
#include "platform/SecureWipe.h"

namespace zk {
namespace {

constexpr uint8_t kNotStrict = 0xFF;

constexpr std::array<uint8_t, 256> MakeValues() {
    std::array<uint8_t, 256> v{};
    for (auto& x : v) x = kNotStrict;
    constexpr const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(alphabet[i])] = static_cast<uint8_t>(i);
    return v;
}
constexpr std::array<uint8_t, 256> kValues = MakeValues();

uint8_t Value(char c) { return kValues[static_cast<unsigned char>(c)]; }

// Groups one at a time, at most limit characters.
size_t DecodeGroups(const char* text, size_t len, uint8_t* out, size_t limit) {
    size_t i = 0;
    for (; i + 4 <= len && i < limit; i += 4) {
        const unsigned a = Value(text[i]), b = Value(text[i + 1]), c = Value(text[i + 2]), d = Value(text[i + 3]);
        if ((a | b | c | d) & 0xC0) break;  // kNotStrict has those bits
        const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        uint8_t* o = out + i / 4 * 3;
        o[0] = static_cast<uint8_t>(v >> 16);
        o[1] = static_cast<uint8_t>(v >> 8);
        o[2] = static_cast<uint8_t>(v);
    }
    return i;
}

}  // namespace

bool IsStrictBase64(char c) { return Value(c) != kNotStrict; }

size_t DecodeStrictGroups(const char* text, size_t len, uint8_t* out) {
    size_t taken = 0;
    char lastTwo[2];
    for (;;) {
        // Long runs 32 characters at a time where the processor can; the
        // block that stops that (or the short end) a group at a time.
        const size_t blocks =
            DecodeStrictBlocks(reinterpret_cast<const unsigned char*>(text + taken), len - taken, out + taken / 4 * 3, lastTwo);
        taken += blocks;
        const size_t groups = DecodeGroups(text + taken, len - taken, out + taken / 4 * 3, 32);
        taken += groups;
        if (groups < 32) return taken;
    }
}

size_t DecodePaddedGroup(const char group[4], uint8_t* out) {
    const unsigned a = Value(group[0]), b = Value(group[1]);
    if (a == kNotStrict || b == kNotStrict || group[3] != '=') return 0;
    if (group[2] == '=') {
        if (b & 0x0F) return 0;  // bits past the one byte
        out[0] = static_cast<uint8_t>(a << 2 | b >> 4);
        return 1;
    }
    const unsigned c = Value(group[2]);
    if (c == kNotStrict || (c & 0x03)) return 0;  // bits past the two bytes
    const uint32_t v = (a << 18) | (b << 12) | (c << 6);
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    return 2;
}

// From the end backwards, a piece at a time through a copy of the piece:
// the text of bytes [3a, 3b) goes to [4a, 4b), over those bytes and over
// the ones after them, which are encoded already.
void Base64EncodeInPlace(uint8_t* data, size_t len) {
    constexpr size_t kPiece = 3 * 1024;
    uint8_t piece[kPiece];
    for (size_t end = len; end > 0;) {
        // The partial last group first, then whole pieces.
        const size_t start = end % 3 ? end / 3 * 3 : end >= kPiece ? end - kPiece : 0;
        std::memcpy(piece, data + start, end - start);
        Base64EncodeTo(piece, end - start, reinterpret_cast<char*>(data) + start / 3 * 4);
        end = start;
    }
    SecureWipe(piece, sizeof piece);
}

}  // namespace zk
