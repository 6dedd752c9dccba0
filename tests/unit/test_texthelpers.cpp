#include <gtest/gtest.h>

#include <regex>

#include "base/Params.h"
#include "base/TextHelpers.h"
#include "platform/Text.h"

namespace {

tinyxml2::XMLElement* Parse(tinyxml2::XMLDocument& doc, const char* xml) {
    EXPECT_EQ(doc.Parse(xml), tinyxml2::XML_SUCCESS);
    return doc.RootElement();
}

TEST(TextHelpers, ParamTextConvertsAndCutsToItsBuffer) {
    tinyxml2::XMLDocument doc;
    auto* root = Parse(doc, "<P><A>Київ</A><B>abcdefgh</B><C/><D><!--x-->t</D><E>\xFF\xFEok</E></P>");
    EXPECT_EQ(zk::ParamText(root->FirstChildElement("A"), 64), "\xCA\xE8\xBF\xE2");
    EXPECT_EQ(zk::ParamText(root->FirstChildElement("B"), 4), "abc");
    EXPECT_EQ(zk::ParamText(root->FirstChildElement("C"), 64), "");
    EXPECT_EQ(zk::ParamText(root->FirstChildElement("D"), 64), "") << "first child is not text";
    EXPECT_EQ(zk::ParamText(root->FirstChildElement("E"), 64), "??ok") << "bytes that are not UTF-8";
    EXPECT_EQ(zk::ParamText(nullptr, 64), "");
}

// A field written again holds the new text alone, whatever it held before.
TEST(TextHelpers, TextFieldsAreWrittenWhole) {
    struct Case {
        const char* text;
        zk::FieldEnd end;
        std::string expected;  // all 6 bytes of the field
    } cases[] = {
        {"ab", zk::FieldEnd::Terminated, std::string("ab\0\0\0\0", 6)},
        {"abcdefgh", zk::FieldEnd::Terminated, std::string("abcde\0", 6)},
        {"abcdefgh", zk::FieldEnd::MayFill, "abcdef"},
        {"", zk::FieldEnd::MayFill, std::string(6, '\0')},
    };
    for (const Case& c : cases) {
        char field[6];
        std::memset(field, 'x', sizeof field);  // an earlier, longer value
        zk::WriteTextField(field, c.text, c.end);
        EXPECT_EQ(std::string(field, sizeof field), c.expected) << c.text;
    }
}

TEST(TextHelpers, Base64OfText) {
    EXPECT_EQ(zk::TextToBase64("\xCA\xE8\xBF\xE2"), "0JrQuNGX0LI=");  // "Київ" as UTF-8
    EXPECT_EQ(zk::Base64ToText("0JrQuNGX0LI="), "\xCA\xE8\xBF\xE2");
    EXPECT_EQ(zk::TextToBase64(""), "");
    EXPECT_EQ(zk::Base64ToText(""), "");
}

TEST(TextHelpers, GuidAndDateTexts) {
    std::string a = zk::NewGuidText(), b = zk::NewGuidText();
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{32}"))) << a;
    EXPECT_NE(a, b);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(zk::DateText(0), "");
    EXPECT_EQ(zk::DateText(1709644023), "05.03.2024 13:07:03");
    EXPECT_EQ(zk::HexText(reinterpret_cast<const uint8_t*>("\x01\xAB"), 2, false), "01ab");
}

TEST(Params, CaseInsensitiveLastWins) {
    tinyxml2::XMLDocument doc;
    auto* p = Parse(doc, "<Params><pass>a</pass><PASS Preserve=\"TRUE\">b</PASS><Flag>True</Flag><Flag>yes</Flag>"
                         "<KeyFolder>x</KeyFolder><KeyFolder/></Params>");
    EXPECT_EQ(zk::ChildText(p, "Pass"), "b");
    EXPECT_TRUE(zk::IsTrueText(zk::AttributeText(zk::LastChild(p, "pass"), "preserve")));
    EXPECT_FALSE(zk::ChildIsTrue(p, "flag"));
    EXPECT_EQ(zk::LastChildTextWithText(p, "keyfolder"), "x");
    EXPECT_EQ(zk::ChildText(p, "KeyFolder"), "");
    EXPECT_EQ(zk::Children(p, "PASS").size(), 2u);
}

}  // namespace
