#include <gtest/gtest.h>

#include "platform/CodePage.h"

namespace {

TEST(CodePage, ConvertsBetweenUtf8AndWindows1251) {
    const std::pair<std::string, std::string> cases[] = {
        {"ASCII text", "ASCII text"},
        {"Є", "\xAA"},
        {"ї", "\xBF"},
        {"Ґ", "\xA5"},
        {"Успішно", "\xD3\xF1\xEF\xB3\xF8\xED\xEE"},
        {"", ""},
        // A long ASCII run is passed over word by word, then the rest converted.
        {"<Data>0123456789abcdef</Data>Є", "<Data>0123456789abcdef</Data>\xAA"},
        {"0123456Єabcdefghijklmnop", "0123456\xAA" "abcdefghijklmnop"},
    };
    for (const auto& [utf8, cp] : cases) {
        EXPECT_EQ(zk::Utf8ToCp1251(utf8), cp) << utf8;
        EXPECT_EQ(zk::Cp1251ToUtf8(cp), utf8) << utf8;
        std::string inPlace = cp;
        zk::Cp1251ToUtf8InPlace(inPlace);
        EXPECT_EQ(inPlace, utf8) << utf8;
        // With room to grow the text is converted where it lies.
        std::string roomy = cp;
        roomy.reserve(cp.size() * 3 + 32);
        const char* where = roomy.data();
        zk::Cp1251ToUtf8InPlace(roomy);
        EXPECT_EQ(roomy, utf8) << utf8;
        EXPECT_EQ(roomy.data(), where) << utf8;
    }
    std::string mixed = std::string(1000, 'x') + "\xD3\xF1" + std::string(37, 'y') + "\xAA" + std::string(3, 'z');
    mixed.reserve(mixed.size() + 16);
    zk::Cp1251ToUtf8InPlace(mixed);
    EXPECT_EQ(mixed, std::string(1000, 'x') + "Ус" + std::string(37, 'y') + "Є" + std::string(3, 'z'));
}

TEST(CodePage, EveryByteRoundTrips) {
    for (int c = 1; c < 256; ++c) {
        if (c == 0x98) continue;  // undefined in Windows-1251
        const std::string cp = "ab" + std::string(1, static_cast<char>(c)) + "cdefghijk";
        EXPECT_EQ(zk::Utf8ToCp1251(zk::Cp1251ToUtf8(cp)), cp) << c;
    }
}

TEST(CodePage, ReplacesWhatHasNoForm) {
    const std::pair<std::string, std::string> cases[] = {
        {"a中b", "a?b"},              // no 1251 form: one "?" for the whole character
        {"a\xFF" "b", "a?b"},         // not UTF-8
        {"ab\xD0", "ab?"},            // cut sequence at the end
        {"\xE2\x82", "??"},           // cut three-byte sequence
    };
    for (const auto& [utf8, cp] : cases) EXPECT_EQ(zk::Utf8ToCp1251(utf8), cp);
    EXPECT_EQ(zk::Cp1251ToUtf8("\x98"), "?");
}

}  // namespace
