// The container commands' own parameters: the signing time text, index
// parameters, and the AdditionalAttributes record built from Additional.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstring>
#include <ctime>

#include "commands/containers/ContainerParams.h"

namespace {

uint32_t Local(int day, int month, int year, int hour, int minute, int second) {
    struct tm tm {};
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<uint32_t>(mktime(&tm));
}

TEST(SigningTime, TextsAndWhatTheyGive) {
    const struct {
        const char* text;
        uint32_t expected;
    } cases[] = {
        {"01/02/2020", Local(1, 2, 2020, 0, 0, 0)},             // three fields: midnight
        {"01.02.2020 10:11", Local(1, 2, 2020, 10, 11, 0)},     // five: seconds 0
        {"1\\2\\2020 10:11:12", Local(1, 2, 2020, 10, 11, 12)},  // six, "\" read as "."
        {"29.02.2024 23:59:59", Local(29, 2, 2024, 23, 59, 59)},
        {"2020-02-01", 0},             // one field
        {"01.02.2020 10", 0},          // four fields
        {"", 0},
        {"31.02.2020", 0},             // no such day
        {"01.13.2020", 0},             // no such month
        {"01.02.2020 24:00", 0},
        {"01.02.1969", 0},             // before 1970
        {"01.02.2200", 0},             // beyond 32 bits
        {"-1.02.2020", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(zk::ParseSigningTime(c.text), c.expected) << c.text;
}

const tinyxml2::XMLElement* Params(tinyxml2::XMLDocument& doc, const char* xml) {
    EXPECT_EQ(doc.Parse(xml), tinyxml2::XML_SUCCESS);
    return doc.RootElement();
}

TEST(IndexParameter, OnlyWholeNonNegativeNumbers) {
    const struct {
        const char* xml;
        std::optional<int32_t> expected;
    } cases[] = {
        {"<Params><SignIndex>0</SignIndex></Params>", 0},
        {"<Params><signindex> 7 </signindex></Params>", 7},
        {"<Params><SignIndex>1</SignIndex><SignIndex>2</SignIndex></Params>", 2},  // the later wins
        {"<Params><SignIndex>2147483647</SignIndex></Params>", 2147483647},
        {"<Params><SignIndex>2147483648</SignIndex></Params>", std::nullopt},
        {"<Params><SignIndex>-1</SignIndex></Params>", std::nullopt},
        {"<Params><SignIndex>1x</SignIndex></Params>", std::nullopt},
        {"<Params><SignIndex>first</SignIndex></Params>", std::nullopt},
        {"<Params><SignIndex/></Params>", std::nullopt},
        {"<Params/>", std::nullopt},
    };
    for (const auto& c : cases) {
        tinyxml2::XMLDocument doc;
        EXPECT_EQ(zk::ReadIndex(Params(doc, c.xml), "SignIndex"), c.expected) << c.xml;
    }
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(zk::ReadInt32(Params(doc, "<Params/>"), "Options", 0), 0);
    EXPECT_EQ(zk::ReadInt32(Params(doc, "<Params><Options>-5</Options></Params>"), "Options", 0), -5);
    EXPECT_EQ(zk::ReadInt32(Params(doc, "<Params><Options>all</Options></Params>"), "Options", 0), std::nullopt);
}

TEST(AdditionalAttributes, OnlyPresentValuesSetTheirFlags) {
    tinyxml2::XMLDocument doc;
    const AdditionalAttributes zero{};
    for (const char* xml : {"<Params/>", "<Params><Additional/></Params>",
                            "<Params><Additional><SigningTime/><SigPolicy></SigPolicy><SigPolicyURI/>"
                            "<SigPolicyMessage/><ContentTimestamp/></Additional></Params>",
                            "<Params><Additional><SigningTime>2020-02-01</SigningTime></Additional></Params>"}) {
        zk::AdditionalAttributesParam attrs(Params(doc, xml));
        EXPECT_EQ(std::memcmp(&attrs.record(), &zero, sizeof zero), 0) << xml;
    }
    zk::AdditionalAttributesParam attrs(Params(doc,
        "<Params><additional><SigningTime>01.02.2020</SigningTime><SigPolicy>MS4yLjM=</SigPolicy>"
        "<SigPolicyURI>aHR0cDovL3g=</SigPolicyURI><ContentTimestamp>MAA=</ContentTimestamp></additional></Params>"));
    const AdditionalAttributes& r = attrs.record();
    // Fields are read into locals: the record is packed, its fields not aligned.
    const uint32_t flags = r.Flags, time = r.SigningTime, stampLength = r.ContentTimestamp.length;
    const uint8_t* notice = r.SigPolicyMessage.data;
    EXPECT_EQ(flags, unsigned(ZK_ATTR_SIGNING_TIME | ZK_ATTR_POLICY_ID | ZK_ATTR_POLICY_URI | ZK_ATTR_CONTENT_TIMESTAMP));
    EXPECT_EQ(time, Local(1, 2, 2020, 0, 0, 0));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.SigPolicy.data), r.SigPolicy.length), "1.2.3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.SigPolicyURI.data), r.SigPolicyURI.length), "http://x");
    EXPECT_EQ(notice, nullptr);
    EXPECT_EQ(stampLength, 2u);
    EXPECT_EQ(r.Zero0 | r.Zero4, 0);
}

}  // namespace
