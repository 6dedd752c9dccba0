#include "commands/protected/PackedXml.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>

#include "base/RequestContext.h"
#include "provider/ZelkorD.h"

namespace zk {

// A value of this system's own; producers of packed texts use the same.
const uint8_t kPackedXmlKey[16] = {0x5A, 0x17, 0xC3, 0x8E, 0x42, 0xB9, 0x6D, 0x01,
                                   0xF4, 0x2C, 0x97, 0x3B, 0xE8, 0x50, 0xA6, 0x7D};

namespace {

constexpr size_t kTrailerSize = 25;
constexpr size_t kMinTrailedStream = 77;  // longer than 76 bytes
constexpr size_t kKeyedTail = 13;         // the key material ends this far before the end
constexpr size_t kMaxTrailerScramble = 512;
constexpr size_t kMaxKeyScramble = 160;
constexpr char kMarkers[] = "1234567890";
constexpr size_t kLzma86Header = 14;       // filter byte, 5 property bytes, 64-bit size
constexpr size_t kFirstChunk = 64u << 10;  // the text's first room; it grows as it fills
constexpr size_t kStep = 4u << 20;         // unpacked between looks at the request's cancellation

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The trailer's key byte when the stream ends with a valid trailer of version 1.
bool TrailerKey(std::span<const uint8_t> stream, uint8_t& key) {
    if (stream.size() < kMinTrailedStream) return false;
    const uint8_t* t = stream.data() + stream.size() - kTrailerSize;
    const uint8_t* mask = t + 2;
    const uint8_t* markers = t + 12;
    for (size_t i = 0; i < 10; ++i)
        if ((markers[i] ^ mask[i]) != static_cast<uint8_t>(kMarkers[i])) return false;
    if ((Le16(t) ^ Le16(t + 23)) != 1) return false;
    key = t[22];
    return true;
}

}  // namespace

size_t ScrambledLength(std::span<const uint8_t> stream) {
    uint8_t key = 0;
    if (TrailerKey(stream, key)) return std::min((stream.size() - kKeyedTail) / 2, kMaxTrailerScramble);
    return std::min(stream.size(), kMaxKeyScramble);
}

void ScrambleHead(std::span<const uint8_t> stream, std::span<uint8_t> head) {
    const size_t n = std::min(head.size(), ScrambledLength(stream));
    uint8_t key = 0;
    if (TrailerKey(stream, key)) {
        const uint8_t* material = stream.data() + stream.size() - kKeyedTail - n;
        for (size_t i = 0; i < n; ++i) head[i] ^= material[i] ^ key;
    } else {
        for (size_t i = 0; i < n; ++i) head[i] ^= kPackedXmlKey[i % sizeof kPackedXmlKey];
    }
}

namespace {

// The stream's LZMA86 header, unscrambled: filter byte, properties, size.
struct Lzma86Header {
    uint8_t filter = 0;
    uint8_t props[5] = {};
    uint64_t size = 0;
};

// Only the head is scrambled: head receives an unscrambled copy of it, the
// rest is read in place.
Lzma86Header ReadLzma86Header(std::span<const uint8_t> packed, std::vector<uint8_t>& head) {
    head.assign(packed.begin(), packed.begin() + static_cast<long>(ScrambledLength(packed)));
    ScrambleHead(packed, head);
    auto byteAt = [&](size_t i) { return i < head.size() ? head[i] : packed[i]; };
    Lzma86Header h;
    h.filter = byteAt(0);
    for (size_t i = 0; i < 5; ++i) h.props[i] = byteAt(1 + i);
    for (size_t i = 0; i < 8; ++i) h.size |= static_cast<uint64_t>(byteAt(6 + i)) << (8 * i);
    return h;
}

}  // namespace

std::optional<uint64_t> PackedTextSize(std::span<const uint8_t> packed) {
    if (packed.size() <= kLzma86Header) return std::nullopt;
    std::vector<uint8_t> head;
    return ReadLzma86Header(packed, head).size;
}

int UnpackPackedXml(std::span<const uint8_t> packed, uint32_t declaredSize, uint64_t maxSize,
                    std::vector<uint8_t>& text) {
    text.clear();
    if (packed.size() <= kLzma86Header) return ZK_E_DAMAGED;
    std::vector<uint8_t> head;
    const Lzma86Header header = ReadLzma86Header(packed, head);
    const uint64_t size = header.size;
    if (header.filter > 1 || size == 0 || size > maxSize || size >= SIZE_MAX ||
        (declaredSize != 0 && size != declaredSize))
        return ZK_E_DAMAGED;

    lzma_filter lz{LZMA_FILTER_LZMA1EXT, nullptr};
    if (lzma_properties_decode(&lz, nullptr, header.props, sizeof header.props) != LZMA_OK) return ZK_E_DAMAGED;
    auto* options = static_cast<lzma_options_lzma*>(lz.options);
    // The stream states a dictionary of up to 4 GiB that the decoder would
    // allocate at once; none larger than the text is ever used.
    options->dict_size = static_cast<uint32_t>(
        std::clamp<uint64_t>(size, LZMA_DICT_SIZE_MIN, std::max<uint64_t>(options->dict_size, LZMA_DICT_SIZE_MIN)));
    lzma_set_ext_size(*options, size);              // a known size: no end marker needed,
    options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;  // but one right after the data is allowed
    lzma_options_bcj bcj{0};
    lzma_filter chain[3];
    size_t n = 0;
    if (header.filter == 1) chain[n++] = {LZMA_FILTER_X86, &bcj};
    chain[n++] = lz;
    chain[n] = {LZMA_VLI_UNKNOWN, nullptr};

    lzma_stream s = LZMA_STREAM_INIT;
    lzma_ret r = lzma_raw_decoder(&s, chain);
    free(lz.options);
    // Input: the unscrambled head past the LZMA86 header, then the stream in place.
    std::span<const uint8_t> inputs[2] = {
        std::span<const uint8_t>(head).subspan(std::min(head.size(), kLzma86Header)),
        packed.subspan(std::max(head.size(), kLzma86Header))};
    size_t input = 0;
    text.resize(static_cast<size_t>(std::min<uint64_t>(size, kFirstChunk)));
    text.reserve(text.size() + 1);
    while (r == LZMA_OK && !RequestCancelled()) {
        while (s.avail_in == 0 && input < 2) {
            s.next_in = inputs[input].data();
            s.avail_in = inputs[input].size();
            ++input;
        }
        if (s.total_out == text.size() && text.size() < size) {
            const uint64_t grown = std::min<uint64_t>(size, 2 * static_cast<uint64_t>(text.size()));
            text.reserve(static_cast<size_t>(grown) + 1);
            text.resize(static_cast<size_t>(grown));
        }
        s.next_out = text.data() + s.total_out;
        s.avail_out = std::min<size_t>(text.size() - s.total_out, kStep);
        // Once the text is whole the decoder still looks for an end marker.
        r = lzma_code(&s, input >= 2 ? LZMA_FINISH : LZMA_RUN);
    }
    const bool ok = r == LZMA_STREAM_END && s.total_out == size;
    lzma_end(&s);
    if (!ok) {
        text.clear();
        return ZK_E_DAMAGED;
    }
    text.resize(static_cast<size_t>(size));
    return ZK_E_OK;
}

}  // namespace zk
