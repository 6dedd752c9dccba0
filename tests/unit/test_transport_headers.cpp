// Transport headers, the tag classifier and the unpacking of packed texts.
// The packed streams here are made by liblzma and scrambled by this test's
// own reading of the format, independently of the service's code.
#include <gtest/gtest.h>
#include <lzma.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/RequestContext.h"
#include "commands/protected/PackedXml.h"
#include "commands/protected/TransportHeaders.h"
#include "provider/ZelkorD.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Tagged(const std::string& tag, int32_t length, const std::string& rest) {
    Bytes b = B(tag);
    b.push_back(0);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i)));
    Bytes r = B(rest);
    b.insert(b.end(), r.begin(), r.end());
    return b;
}

TEST(TagClassifier, EveryTagWithItsZeroByte) {
    const std::pair<const char*, int> tags[] = {
        {"TRANSPORTABLE", 3}, {"CERTCRYPT", 35},    {"PACKED_XML", 6},    {"ZPOSTTRANSPORTABLE", 7},
        {"USC_CRYPT", 1},     {"USC_SIGN", 2},      {"USC_STAMP", 8},     {"USC_INTSIGNS", 9},
        {"USC_INTSTAMP", 10}, {"IVK_CRYPT", 4},     {"IVK_SIGN", 5},      {"LST_SGNPROP", 11},
        {"RCV_TIME", 15},     {"DOC_PRM", 16},      {"BUF_DOC_KVT", 26},  {"BUF_DOC_SND", 27},
        {"BUF_PST_SND", 28},  {"BUF_DOC_DCR", 29},  {"QLB_CRYPT", 30},    {"QLB_SIGN", 31},
        {"QLB_STAMP", 32},    {"QLB_INTSIGNS", 33}, {"QLB_INTSTAMP", 34},
    };
    for (const auto& [tag, type] : tags) {
        Bytes block = B(tag);
        EXPECT_EQ(zk::ClassifyTag(block), 0) << tag << " without its zero byte";
        block.push_back(0);
        EXPECT_EQ(zk::ClassifyTag(block), type) << tag << " and its zero byte alone";
        block.push_back('x');
        EXPECT_EQ(zk::ClassifyTag(block), type) << tag;
    }
    EXPECT_EQ(zk::ClassifyTag(B(std::string("TRANSPORTABLEX") + '\0')), 0);  // the text directly followed by data
    EXPECT_EQ(zk::ClassifyTag(B("<?xml version=\"1.0\"?>")), 0);
    EXPECT_EQ(zk::ClassifyTag({}), 0);
}

using Reader = int (*)(zk::ByteSpan&, zk::ByteSpan&);
int ReadCertCryptHeader(zk::ByteSpan& cursor, zk::ByteSpan& body) { return zk::ReadCertCrypt(cursor, body); }

TEST(HeaderReaders, LengthsAreCheckedAgainstTheBlock) {
    struct Case {
        const char* name;
        Reader read;
        Bytes block;
        int code;
        std::string body, rest;
    };
    const Case cases[] = {
        {"length 5 in 22 bytes", zk::ReadTransportable, Tagged("TRANSPORTABLE", 5, "abcd"), ZK_E_DAMAGED, "", ""},
        {"length 5 in 23 bytes: the next layer is empty", zk::ReadTransportable, Tagged("TRANSPORTABLE", 5, "abcde"), 0,
         "abcde", ""},
        {"the next layer follows the body", zk::ReadTransportable, Tagged("TRANSPORTABLE", 2, "abNEXT"), 0, "ab", "NEXT"},
        {"negative length", zk::ReadTransportable, Tagged("TRANSPORTABLE", -1, "abc"), ZK_E_DAMAGED, "", ""},
        {"length far beyond the block", zk::ReadTransportable, Tagged("TRANSPORTABLE", 0x7FFFFFFF, "abc"),
         ZK_E_DAMAGED, "", ""},
        {"tag and zero byte only", zk::ReadTransportable, B(std::string("TRANSPORTABLE") + '\0'), ZK_E_DAMAGED, "", ""},
        {"length cut short", zk::ReadTransportable, B(std::string("TRANSPORTABLE") + '\0' + "\x01\x00"), ZK_E_DAMAGED,
         "", ""},
        {"another header", zk::ReadTransportable, Tagged("CERTCRYPT", 1, "a"), ZK_E_BAD_FILE_FORMAT, "", ""},
        {"no zero byte", zk::ReadTransportable, B("TRANSPORTABLE\x01\x00\x00\x00\x00"), ZK_E_BAD_FILE_FORMAT, "", ""},
        {"ZPOST body", zk::ReadZPostTransportable, Tagged("ZPOSTTRANSPORTABLE", 3, "xyzREST"), 0, "xyz", "REST"},
        {"ZPOST read as TRANSPORTABLE", zk::ReadTransportable, Tagged("ZPOSTTRANSPORTABLE", 3, "xyz"),
         ZK_E_BAD_FILE_FORMAT, "", ""},
        {"ZPOST too short", zk::ReadZPostTransportable, Tagged("ZPOSTTRANSPORTABLE", 4, "xyz"), ZK_E_DAMAGED, "", ""},
        {"CERTCRYPT certificate", ReadCertCryptHeader, Tagged("CERTCRYPT", 4, "CERTenvelope"), 0, "CERT", "envelope"},
        {"CERTCRYPT negative", ReadCertCryptHeader, Tagged("CERTCRYPT", INT32_MIN, "CERT"), ZK_E_DAMAGED, "", ""},
    };
    for (const Case& c : cases) {
        zk::ByteSpan cursor = c.block, body;
        EXPECT_EQ(c.read(cursor, body), c.code) << c.name;
        if (c.code != 0) {
            EXPECT_EQ(cursor.size(), c.block.size()) << c.name << ": the cursor stays";
            continue;
        }
        EXPECT_EQ(std::string(body.begin(), body.end()), c.body) << c.name;
        EXPECT_EQ(std::string(cursor.begin(), cursor.end()), c.rest) << c.name;
    }
}

TEST(HeaderWriters, ReadBackByTheReaders) {
    const Bytes cert = B("certificate bytes"), inner = B("signed block");
    Bytes block = zk::CertCryptHeader(cert);
    block.insert(block.end(), inner.begin(), inner.end());
    zk::ByteSpan cursor = block, body;
    ASSERT_EQ(zk::ReadCertCrypt(cursor, body), 0);
    EXPECT_EQ(Bytes(body.begin(), body.end()), cert);
    EXPECT_EQ(Bytes(cursor.begin(), cursor.end()), inner);

    const Bytes wrapped = zk::WrapTransportable(B("route"), inner);
    cursor = wrapped;
    ASSERT_EQ(zk::ReadTransportable(cursor, body), 0);
    EXPECT_EQ(Bytes(body.begin(), body.end()), B("route"));
    EXPECT_EQ(Bytes(cursor.begin(), cursor.end()), inner);
}

TEST(PackedXmlHeader, DeclaredSizeAndStream) {
    uint32_t declared = 0;
    zk::ByteSpan packed;
    Bytes ok = Tagged("PACKED_XML", 1234, "stream");
    EXPECT_EQ(zk::ReadPackedXmlHeader(ok, declared, packed), 0);
    EXPECT_EQ(declared, 1234u);
    EXPECT_EQ(std::string(packed.begin(), packed.end()), "stream");
    EXPECT_EQ(zk::ReadPackedXmlHeader(Tagged("PACKED_XML", -5, "s"), declared, packed), ZK_E_DAMAGED);
    EXPECT_EQ(zk::ReadPackedXmlHeader(B(std::string("PACKED_XML") + '\0' + "\x01"), declared, packed), ZK_E_DAMAGED);
    EXPECT_EQ(zk::ReadPackedXmlHeader(Tagged("TRANSPORTABLE", 1, "s"), declared, packed), ZK_E_BAD_FILE_FORMAT);
}

// --- packed texts, made here

Bytes Lzma86(const Bytes& text, bool x86, bool endMarker, uint64_t statedSize) {
    lzma_options_lzma opt;
    lzma_lzma_preset(&opt, 6);
    opt.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_options_bcj bcj{0};
    lzma_filter chain[3];
    int n = 0;
    if (x86) chain[n++] = {LZMA_FILTER_X86, &bcj};
    chain[n++] = {LZMA_FILTER_LZMA1EXT, &opt};
    chain[n] = {LZMA_VLI_UNKNOWN, nullptr};
    Bytes out(14 + text.size() + text.size() / 2 + 4096);
    out[0] = x86;
    lzma_filter pf{LZMA_FILTER_LZMA1, &opt};
    lzma_properties_encode(&pf, &out[1]);
    for (int i = 0; i < 8; ++i) out[6 + i] = static_cast<uint8_t>(statedSize >> (8 * i));
    lzma_stream s = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_raw_encoder(&s, chain), LZMA_OK);
    s.next_in = text.data();
    s.avail_in = text.size();
    s.next_out = &out[14];
    s.avail_out = out.size() - 14;
    EXPECT_EQ(lzma_code(&s, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(14 + s.total_out);
    lzma_end(&s);
    return out;
}

// The scrambling as the format describes it.
void ScrambleWithKey(Bytes& stream) {
    for (size_t i = 0; i < std::min<size_t>(160, stream.size()); ++i) stream[i] ^= zk::kPackedXmlKey[i % 16];
}

void AppendTrailerAndScramble(Bytes& stream, uint16_t a, uint16_t b, uint8_t key) {
    const uint8_t mask[10] = {0x11, 0xA2, 0x03, 0x94, 0x55, 0x06, 0xF7, 0x08, 0x99, 0x1A};
    stream.push_back(a & 0xFF);
    stream.push_back(a >> 8);
    stream.insert(stream.end(), mask, mask + 10);
    for (int i = 0; i < 10; ++i) stream.push_back(static_cast<uint8_t>("1234567890"[i] ^ mask[i]));
    stream.push_back(key);
    stream.push_back(b & 0xFF);
    stream.push_back(b >> 8);
    const size_t len = stream.size();
    const size_t n = std::min<size_t>((len - 13) / 2, 512);
    for (size_t i = 0; i < n; ++i) stream[i] ^= stream[len - 13 - n + i] ^ key;
}

Bytes Text(size_t lines) {
    std::string t = "<?xml version=\"1.0\"?><doc>";
    for (size_t i = 0; i < lines; ++i) t += "<row n=\"" + std::to_string(i * 7919 % 1000) + "\">\xF2\xE5\xEA\xF1\xF2</row>";
    return B(t + "</doc>");
}

TEST(PackedXml, UnpacksEveryScramblingAndFilter) {
    const Bytes text = Text(3000), tiny = B("<a/>");
    struct Case {
        const char* name;
        Bytes text;
        bool x86, endMarker, trailer;
    };
    const Case cases[] = {
        {"built-in key", text, false, false, false},
        {"x86 filter, end marker", text, true, true, false},
        {"version-1 trailer", text, false, false, true},
        {"trailer over a long stream (512 bytes scrambled)", Text(40000), true, false, true},
        {"stream of 76 bytes or less keeps the built-in key", tiny, false, false, false},
    };
    for (const Case& c : cases) {
        Bytes stream = Lzma86(c.text, c.x86, c.endMarker, c.text.size());
        if (c.trailer)
            AppendTrailerAndScramble(stream, 0x1234, 0x1235, 0x5C);
        else
            ScrambleWithKey(stream);
        Bytes out;
        for (uint32_t declared : {0u, static_cast<uint32_t>(c.text.size())}) {
            ASSERT_EQ(zk::UnpackPackedXml(stream, declared, 1u << 30, out), 0) << c.name;
            EXPECT_EQ(out, c.text) << c.name;
        }
    }
}

TEST(PackedXml, DamageAndLiesGiveTen) {
    const Bytes text = Text(2000);
    auto keyed = [&](Bytes stream) {
        ScrambleWithKey(stream);
        return stream;
    };
    const Bytes good = keyed(Lzma86(text, false, false, text.size()));
    Bytes truncated = good;
    truncated.resize(good.size() / 2);
    Bytes corrupt = good;
    for (size_t i = 200; i < corrupt.size(); i += 7) corrupt[i] ^= 0x5A;
    Bytes badFilter = good;
    badFilter[0] ^= 2;  // filter byte 2 after unscrambling
    Bytes wrongVersion = Lzma86(text, false, false, text.size());
    AppendTrailerAndScramble(wrongVersion, 0x1234, 0x1236, 0x5C);  // version 2: the built-in key applies

    struct Case {
        const char* name;
        Bytes stream;
        uint32_t declared;
        uint64_t max;
    };
    const Case cases[] = {
        {"truncated stream", truncated, 0, 1u << 30},
        {"damaged data", corrupt, 0, 1u << 30},
        {"unknown filter", badFilter, 0, 1u << 30},
        {"declared size differs", good, static_cast<uint32_t>(text.size() + 1), 1u << 30},
        {"stated size beyond the bound", good, 0, text.size() - 1},
        {"stated size 0", keyed(Lzma86(text, false, false, 0)), 0, 1u << 30},
        {"stated size larger than the data", keyed(Lzma86(text, false, true, text.size() * 50)), 0, 1u << 30},
        {"stated size unknown (all ones)", keyed(Lzma86(text, false, true, UINT64_MAX)), 0, 1u << 30},
        {"trailer of another version", wrongVersion, 0, 1u << 30},
        {"header only", keyed(Bytes(good.begin(), good.begin() + 14)), 0, 1u << 30},
        {"nothing", {}, 0, 1u << 30},
    };
    for (const Case& c : cases) {
        Bytes out;
        EXPECT_EQ(zk::UnpackPackedXml(c.stream, c.declared, c.max, out), ZK_E_DAMAGED) << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
}

// A request whose client has gone stops unpacking at the next step, and
// the size a stream states is read without unpacking it.
TEST(PackedXml, StopsForACancelledRequestAndStatesItsSize) {
    const Bytes text(24u << 20, 'A');  // several steps of unpacking
    Bytes stream = Lzma86(text, false, false, text.size());
    ScrambleWithKey(stream);
    EXPECT_EQ(zk::PackedTextSize(stream), text.size());
    EXPECT_EQ(zk::PackedTextSize(Bytes(stream.begin(), stream.begin() + 14)), std::nullopt);

    std::atomic<bool> cancelled{true};
    zk::RequestContext context{"", &cancelled, nullptr, nullptr};
    Bytes out;
    {
        zk::ScopedRequest current(context);
        EXPECT_EQ(zk::UnpackPackedXml(stream, 0, text.size(), out), ZK_E_DAMAGED);
        EXPECT_TRUE(out.empty());
    }
    ASSERT_EQ(zk::UnpackPackedXml(stream, 0, text.size(), out), 0);  // outside that request it unpacks
    EXPECT_EQ(out, text);
}

}  // namespace
