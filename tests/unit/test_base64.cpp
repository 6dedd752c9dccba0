#include <gtest/gtest.h>

#include <random>

#include "base/CBase64.h"

namespace {

std::string Decode(const std::string& text) { return zk::Base64DecodeToString(text); }

TEST(Base64, EncodesRfc4648Vectors) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, encoded] : cases) {
        EXPECT_EQ(zk::Base64Encode(std::string_view(plain)), encoded) << plain;
        EXPECT_EQ(Decode(encoded), plain) << encoded;
    }
}

TEST(Base64, DecodesLaxly) {
    struct Case {
        const char* name;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"two padding characters give one byte", "QQ==", "A"},
        {"one padding character gives two bytes", "QUI=", "AB"},
        {"no padding gives three bytes", "QUJD", "ABC"},
        {"whitespace and control characters 7-13 are skipped", " Q\tU\r\nJ\vD\f\a\b ", "ABC"},
        {"high bit set counts as the low seven bits", "\xD1UJD", "ABC"},
        {"high-bit padding counts like padding in place", "QQ\xBD\xBD", std::string("A\0\0", 3)},
        {"= in the first two places counts 63", "=UJD", Decode("/UJD")},
        {"unknown characters count 62", "*UJ-", Decode("+UJ+")},
        {"= third counts 0 and shortens by one", "QQ=A", std::string("A\0", 2)},
        {"short last group adds its character count", "QUJDQQ", std::string("ABCA\0", 5)},
        {"lone padding decodes to nothing", "=", ""},
        {"empty input", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Decode(c.input), c.expected) << c.name;
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    std::mt19937 rng(7);
    for (size_t len = 0; len < 9000; len += 997) {
        std::string bytes(len, '\0');
        for (auto& b : bytes) b = static_cast<char>(rng());
        std::string text = zk::Base64Encode(bytes);
        EXPECT_EQ(text.size(), (len + 2) / 3 * 4);
        EXPECT_EQ(Decode(text), bytes) << len;
    }
}

// The free functions decode in one pass without the codec's buffers; they
// must keep its rules on any input, garbage included.
TEST(Base64, FreeFunctionsDecodeExactlyAsTheCodec) {
    std::mt19937 rng(11);
    const std::string alphabet = "AQgw+/=\xBD\xC1 \t\r\n*-";
    for (int round = 0; round < 3000; ++round) {
        std::string text(rng() % 23, '\0');
        for (auto& c : text) c = round % 2 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
        zk::CBase64 codec;
        codec.DecodeBytes(text.data(), text.size());
        size_t n = 0;
        const uint8_t* p = codec.GetDecoded(&n);
        const std::string expected(reinterpret_cast<const char*>(p), n);
        EXPECT_EQ(Decode(text), expected) << round;
        std::string inPlace = text;
        zk::Base64DecodeInPlace(inPlace);
        EXPECT_EQ(inPlace, expected) << round;
    }
}

TEST(Base64, DecoderInPiecesDecodesAsOnePass) {
    // Long texts, whose strict runs are decoded by whole blocks where the
    // processor can (pieces shorter than a block never are): strict, and
    // with a character of another kind every so often.
    std::mt19937 random(7);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string others = " \n=\xc1-@\x80*";
    std::string strict, mixed;
    for (int i = 0; i < 5000; ++i) strict += alphabet[random() % 64];
    for (int i = 0; i < 5000; ++i) mixed += random() % 90 ? alphabet[random() % 64] : others[random() % others.size()];
    const std::string texts[] = {strict, mixed, strict + "=", "SGVsbG8sIHdvcmxkIQ==", " SGVs\nbG8s IHdv\tcmxk IQ= =", "QUJD=", "QQ", "=A=B", "\xd1\x80\xc1\xff+/@!",
                                 std::string(1000, 'A') + "==", ""};
    for (const std::string& text : texts) {
        const std::string whole = zk::Base64DecodeToString(text);
        for (size_t piece : {1, 2, 3, 5, 7, 64}) {
            std::string memory = text;  // decoded over its own bytes, as a body is
            zk::Base64Decoder decoder;
            auto* out = reinterpret_cast<uint8_t*>(memory.data());
            for (size_t at = 0; at < memory.size(); at += piece)
                decoder.Feed(memory.data() + at, std::min(piece, memory.size() - at), out);
            const size_t n = decoder.Finish(out);
            EXPECT_EQ(memory.substr(0, n), whole) << text << " in pieces of " << piece;
        }
    }
}

TEST(Base64, EncodeAppendsToExistingText) {
    std::string out = "<Data>";
    zk::Base64EncodeAppend("foob", 4, out);
    EXPECT_EQ(out, "<Data>Zm9vYg==");
}

TEST(Base64, ReusedCodecKeepsOnlyTheLastResult) {
    zk::CBase64 codec;
    codec.DecodeText("QUJDREVG");
    codec.DecodeText("QQ==");
    size_t n = 0;
    const uint8_t* p = codec.GetDecoded(&n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(p[0], 'A');
    EXPECT_EQ(p[1], 0) << "buffers are zero-filled before use";
    codec.EncodeText("foobar");
    EXPECT_STREQ(codec.GetEncoded(&n), "Zm9vYmFy");
}

}  // namespace
