// zkpack: the producer of packed texts ("PACKED_XML" blocks) for ZelkorH,
// and their reader. docs/packed-xml.md describes the format.
//
//   zkpack pack [--x86] [--trailer] [--no-size] [--end-marker] IN OUT
//   zkpack unpack IN OUT
//
// Exit status: 0 success, 1 failure (unreadable input, damaged block), 2 wrong usage.
#include <lzma.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "commands/protected/PackedXml.h"
#include "commands/protected/TransportHeaders.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kUsage[] = R"(usage: zkpack pack [--x86] [--trailer] [--no-size] [--end-marker] IN OUT
       zkpack unpack IN OUT

  pack     packs the text of IN into the "PACKED_XML" block OUT: LZMA86 (LZMA
           preset 6; --x86 adds the x86 branch filter) with its head scrambled,
           by the built-in key, or with --trailer by a fresh version-1 trailer
           appended to the stream (streams longer than 76 bytes only; shorter
           ones keep the built-in key). --no-size leaves the declared size 0;
           --end-marker ends the LZMA data with an end marker.
  unpack   writes the text of the "PACKED_XML" block IN to OUT.
)";

constexpr uint64_t kMaxText = 1ull << 30;
constexpr char kMarkers[] = "1234567890";

bool ReadFile(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

bool WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

void PutLe(Bytes& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// LZMA86: filter byte, five property bytes, the size as 64-bit little-endian, raw LZMA.
bool Lzma86(const Bytes& text, bool x86, bool endMarker, Bytes& out) {
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 6)) return false;
    options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_options_bcj bcj{0};
    lzma_filter chain[3];
    size_t n = 0;
    if (x86) chain[n++] = {LZMA_FILTER_X86, &bcj};
    chain[n++] = {LZMA_FILTER_LZMA1EXT, &options};
    chain[n] = {LZMA_VLI_UNKNOWN, nullptr};

    out.assign(1, x86 ? 1 : 0);
    uint8_t props[5];
    lzma_filter propFilter{LZMA_FILTER_LZMA1, &options};
    if (lzma_properties_encode(&propFilter, props) != LZMA_OK) return false;
    out.insert(out.end(), props, props + sizeof props);
    PutLe(out, text.size(), 8);

    const size_t header = out.size();
    out.resize(header + text.size() + text.size() / 2 + 4096);
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&s, chain) != LZMA_OK) return false;
    s.next_in = text.data();
    s.avail_in = text.size();
    s.next_out = out.data() + header;
    s.avail_out = out.size() - header;
    const lzma_ret r = lzma_code(&s, LZMA_FINISH);
    out.resize(header + s.total_out);
    lzma_end(&s);
    return r == LZMA_STREAM_END;
}

// A version-1 trailer: A, a random mask, the markers under it, the key byte, B = A XOR 1.
bool AppendTrailer(Bytes& stream) {
    uint8_t random[2 + 10 + 1];
    if (RAND_bytes(random, sizeof random) != 1) return false;
    const uint16_t a = static_cast<uint16_t>(random[0] | random[1] << 8);
    PutLe(stream, a, 2);
    stream.insert(stream.end(), random + 2, random + 12);
    for (int i = 0; i < 10; ++i) stream.push_back(static_cast<uint8_t>(kMarkers[i] ^ random[2 + i]));
    stream.push_back(random[12]);
    PutLe(stream, static_cast<uint16_t>(a ^ 1), 2);
    return true;
}

int Pack(const std::vector<std::string>& flags, const std::string& inPath, const std::string& outPath) {
    bool x86 = false, trailer = false, noSize = false, endMarker = false;
    for (const std::string& f : flags) {
        if (f == "--x86") x86 = true;
        else if (f == "--trailer") trailer = true;
        else if (f == "--no-size") noSize = true;
        else if (f == "--end-marker") endMarker = true;
        else {
            std::cerr << "zkpack: unknown option " << f << "\n" << kUsage;
            return 2;
        }
    }
    Bytes text, stream;
    if (!ReadFile(inPath, text)) {
        std::cerr << "zkpack: cannot read " << inPath << "\n";
        return 1;
    }
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        std::cerr << "zkpack: the text must hold 1 byte to 2 GiB\n";
        return 1;
    }
    if (!Lzma86(text, x86, endMarker, stream) || (trailer && !AppendTrailer(stream))) {
        std::cerr << "zkpack: packing failed\n";
        return 1;
    }
    Bytes head(stream.begin(), stream.begin() + static_cast<long>(zk::ScrambledLength(stream)));
    zk::ScrambleHead(stream, head);
    std::copy(head.begin(), head.end(), stream.begin());

    const char tag[] = "PACKED_XML";
    Bytes block(tag, tag + sizeof tag);  // with its zero byte
    PutLe(block, noSize ? 0 : text.size(), 4);
    block.insert(block.end(), stream.begin(), stream.end());
    if (!WriteFile(outPath, block)) {
        std::cerr << "zkpack: cannot write " << outPath << "\n";
        return 1;
    }
    return 0;
}

int Unpack(const std::string& inPath, const std::string& outPath) {
    Bytes block, text;
    if (!ReadFile(inPath, block)) {
        std::cerr << "zkpack: cannot read " << inPath << "\n";
        return 1;
    }
    uint32_t declared = 0;
    zk::ByteSpan packed;
    if (zk::ReadPackedXmlHeader(block, declared, packed) != 0) {
        std::cerr << "zkpack: " << inPath << " is no PACKED_XML block\n";
        return 1;
    }
    if (zk::UnpackPackedXml(packed, declared, kMaxText, text) != 0) {
        std::cerr << "zkpack: the packed text is damaged\n";
        return 1;
    }
    if (!WriteFile(outPath, text)) {
        std::cerr << "zkpack: cannot write " << outPath << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 3 && args[0] == "pack") {
        std::vector<std::string> flags(args.begin() + 1, args.end() - 2);
        return Pack(flags, args[args.size() - 2], args.back());
    }
    if (args.size() == 3 && args[0] == "unpack") return Unpack(args[1], args[2]);
    std::cerr << kUsage;
    return args.size() == 1 && (args[0] == "--help" || args[0] == "-h") ? 0 : 2;
}
