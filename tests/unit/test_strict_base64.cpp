// Canonical Base64 over its own memory: what the arriving document relies on
// to give a document back as the very text it came as.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/CBase64.h"
#include "base/StrictBase64.h"

namespace zk {
namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Whole groups in place at every length around the 32-character blocks, and
// the stop at the first group that is not strict, wherever it lies.
TEST(StrictBase64, DecodesWholeGroupsInPlaceAndStopsAtTheFirstOtherGroup) {
    for (size_t n : {0u, 3u, 21u, 24u, 27u, 33u, 45u, 48u, 96u, 300u, 3000u}) {
        const std::vector<uint8_t> bytes = RandomBytes(n, static_cast<unsigned>(n));
        std::string text = Base64Encode(bytes.data(), bytes.size());
        ASSERT_EQ(DecodeStrictGroups(text.data(), text.size(), reinterpret_cast<uint8_t*>(text.data())), text.size());
        EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.begin() + n), bytes) << n;

        for (size_t at : {size_t{0}, n / 3, n, n * 4 / 3 - (n ? 1 : 0)}) {
            if (n == 0) break;
            for (char odd : {'=', '\n', ' ', '-', '_', '<', '\0', '\xff'}) {
                std::string t = Base64Encode(bytes.data(), bytes.size());
                t[at] = odd;
                std::vector<uint8_t> out(t.size());
                const size_t taken = DecodeStrictGroups(t.data(), t.size(), out.data());
                ASSERT_EQ(taken, at / 4 * 4) << n << " " << at << " " << int(odd);
                EXPECT_TRUE(std::equal(out.begin(), out.begin() + taken / 4 * 3, bytes.begin()));
            }
        }
    }
}

TEST(StrictBase64, PaddedLastGroupOnlyWhenCanonical) {
    struct Case {
        const char* group;
        std::vector<uint8_t> bytes;  // empty: refused
    } cases[] = {
        {"QQ==", {'A'}},      {"QUI=", {'A', 'B'}}, {"QR==", {}},  // bits past the byte
        {"QUJ=", {}},         {"QUJD", {}},         {"Q===", {}},  {"=QQ=", {}},
        {"Q\nQ=", {}},        {"QQ=A", {}},
    };
    for (const Case& c : cases) {
        uint8_t out[2] = {};
        const size_t n = DecodePaddedGroup(c.group, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + n), c.bytes) << c.group;
    }
}

// Encoding over the bytes themselves gives the text the one-pass encoder
// gives, at lengths across the pieces it works in.
TEST(StrictBase64, EncodesOverItsOwnBytes) {
    for (size_t n : {0u, 1u, 2u, 3u, 4u, 3071u, 3072u, 3073u, 3074u, 10000u, 65537u}) {
        const std::vector<uint8_t> bytes = RandomBytes(n, static_cast<unsigned>(n) + 7);
        std::vector<uint8_t> memory(Base64EncodedLength(n) + 1, 0xEE);
        std::copy(bytes.begin(), bytes.end(), memory.begin());
        Base64EncodeInPlace(memory.data(), n);
        EXPECT_EQ(std::string(memory.begin(), memory.end() - 1), Base64Encode(bytes.data(), n)) << n;
        EXPECT_EQ(memory.back(), 0xEE);
    }
}

}  // namespace
}  // namespace zk
