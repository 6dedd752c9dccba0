// The text rules of discovery: transliteration, issuer classes, the
// certificate filter and the order of the certificate list.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "discovery/CertFilter.h"
#include "discovery/CertListFunc.h"
#include "platform/IssuerClass.h"
#include "platform/CodePage.h"

namespace {

std::string Cp(const char* utf8) { return zk::Utf8ToCp1251(utf8); }

TEST(ToCyrillic, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"KV123456", "КВ123456"},
        {"Shcherbak", "Щербак"},
        {"Yana", "Яна"},
        {"12345678", "12345678"},
        {"SHCHUKA", "ЩУКА"},             // letters after the first in either case
        {"sHCH", "щ"},                    // the first letter's case decides the group
        {"yE", "иЕ"},
        {"Yevhen Zhuk", "Євген Жук"},     // the space is kept
        {"yana", "иана"},                 // small y before a matches no group
        {"Iurii", "Юріі"},
        {"Kharkiv", "Харків"},
        {"Tsvit Chaika", "Цвіт Чаіка"},
        {"Yizhak", "Їжак"},
        {"Galyna", "Ґалина"},
        {"Q-W.x", "Q-W.x"},              // letters without a Cyrillic form stay
        {"", ""},
    };
    for (const auto& [latin, cyrillic] : cases) EXPECT_EQ(zk::ToCyrillic(latin), Cp(cyrillic)) << latin;
}

TEST(IssuerClass, Table) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},
        {"UA-36865753", 9},
        {"ua-36865753-extra", 9},  // small letters and further text
        {"UA-3686575", -1},        // only the first ten characters
        {"UA-33406510", 0},       {"UA-32348248", 0},  {"UA-33406085", 1},  {"UA-30404750", 1},
        {"UA-32614261", 5},       {"UA-14360570", 7},  {"UA-21579381", 8},  {"UA-21685166", 10},
        {"UA-34925642", 11},      {"UA-35394192", 14}, {"UA-38725930", 14}, {"UA-39384476", 14},
        {"root-csk", 0},          {"UA-99999999", -1}, {" UA-36865753", -1},
    };
    for (const auto& [sn, cls] : cases) EXPECT_EQ(zk::ClassifyIssuer(sn), cls) << "'" << sn << "'";
    EXPECT_STREQ(zk::LibraryCodeForClass(0), "USC");
    EXPECT_STREQ(zk::LibraryCodeForClass(9), "QLB");
    EXPECT_STREQ(zk::LibraryCodeForClass(14), "UA1");
    EXPECT_STREQ(zk::LibraryCodeForClass(-1), "UA1");
}

zk::CertRecord Record() {
    zk::CertRecord r;
    r.DRFO = "1234567890";
    r.EDRPOU = "12345678";
    r.Serial = "ABCDEF";
    r.IssuerSN = "UA-36865753";
    r.SN = "0A1B";
    r.Type = 1;
    r.KeyUsage = 0xC0;
    r.ExtKeyUsage = 0x4;
    r.DateEnd = 1000;
    return r;
}

TEST(CertFilterRule, Table) {
    struct Case {
        const char* name;
        void (*setFilter)(zk::CertFilter&);
        void (*setRecord)(zk::CertRecord&);
        bool passes;
    };
    const time_t now = 2000;
    const Case cases[] = {
        {"empty filter, expired certificate", [](zk::CertFilter&) {}, [](zk::CertRecord&) {}, true},
        {"Exceeded false hides expired", [](zk::CertFilter& f) { f.Exceeded = false; }, [](zk::CertRecord&) {}, false},
        {"end at now is expired", [](zk::CertFilter& f) { f.Exceeded = false; },
         [](zk::CertRecord& r) { r.DateEnd = 2000; }, false},
        {"end 0 never expires", [](zk::CertFilter& f) { f.Exceeded = false; },
         [](zk::CertRecord& r) { r.DateEnd = 0; }, true},
        {"valid certificate", [](zk::CertFilter& f) { f.Exceeded = false; },
         [](zk::CertRecord& r) { r.DateEnd = 2001; }, true},
        {"KeyUsage 192 shares a bit with 0x80", [](zk::CertFilter& f) { f.KeyUsage = 192; },
         [](zk::CertRecord& r) { r.KeyUsage = 0x80; }, true},
        {"KeyUsage 16 against 0xC0", [](zk::CertFilter& f) { f.KeyUsage = 16; }, [](zk::CertRecord&) {}, false},
        {"ExtKeyUsage shared", [](zk::CertFilter& f) { f.ExtKeyUsage = 6; }, [](zk::CertRecord&) {}, true},
        {"ExtKeyUsage not shared", [](zk::CertFilter& f) { f.ExtKeyUsage = 1; }, [](zk::CertRecord&) {}, false},
        {"EDRPOU equal", [](zk::CertFilter& f) { f.EDRPOU = "12345678"; }, [](zk::CertRecord&) {}, true},
        {"EDRPOU other", [](zk::CertFilter& f) { f.EDRPOU = "12345679"; }, [](zk::CertRecord&) {}, false},
        {"DRFO Cyrillic against transliterated passport number",
         [](zk::CertFilter& f) { f.DRFO = zk::Utf8ToCp1251("кв123456"); },
         [](zk::CertRecord& r) { r.DRFO = "KV123456"; }, true},
        {"DRFO Latin ignoring case", [](zk::CertFilter& f) { f.DRFO = "kv123456"; },
         [](zk::CertRecord& r) { r.DRFO = "KV123456"; }, true},
        {"DRFO Cyrillic ignoring case", [](zk::CertFilter& f) { f.DRFO = zk::Utf8ToCp1251("КВ123456"); },
         [](zk::CertRecord& r) { r.DRFO = zk::Utf8ToCp1251("кв123456"); }, true},
        {"Serial ignoring case", [](zk::CertFilter& f) { f.Serial = "abcdef"; }, [](zk::CertRecord&) {}, true},
        {"Serial other", [](zk::CertFilter& f) { f.Serial = "ABCDE0"; }, [](zk::CertRecord&) {}, false},
        {"IssuerSN", [](zk::CertFilter& f) { f.IssuerSN = "ua-36865753"; }, [](zk::CertRecord&) {}, true},
        {"SN other", [](zk::CertFilter& f) { f.SN = "0A1C"; }, [](zk::CertRecord&) {}, false},
        {"Type in set", [](zk::CertFilter& f) { f.Types = {1, 3}; }, [](zk::CertRecord&) {}, true},
        {"Type not in set", [](zk::CertFilter& f) { f.Types = {0, 3}; }, [](zk::CertRecord&) {}, false},
    };
    for (const Case& c : cases) {
        zk::CertFilter f;
        zk::CertRecord r = Record();
        c.setFilter(f);
        c.setRecord(r);
        EXPECT_EQ(zk::CertPasses(f, r, now), c.passes) << c.name;
    }
}

zk::CertFilter Parse(const char* params, unsigned fields = zk::kFilterAll) {
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.Parse(params), tinyxml2::XML_SUCCESS);
    return zk::ReadCertFilter(doc.RootElement(), fields);
}

TEST(CertFilterParams, ReadFromRequest) {
    zk::CertFilter f = Parse(
        "<Params><drfo>  КВ123456 \t</drfo><EDRPOU>1</EDRPOU><edrpou>2</edrpou><Serial> AB </Serial>"
        "<Types>1,,3</Types><KeyUsage>192</KeyUsage><ExtKeyUsage>4</ExtKeyUsage><Exceeded>TRUE</Exceeded></Params>");
    EXPECT_EQ(f.DRFO, Cp("КВ123456"));
    EXPECT_EQ(f.EDRPOU, "2") << "the later occurrence wins";
    EXPECT_EQ(f.Serial, " AB ") << "only EDRPOU and DRFO are trimmed";
    EXPECT_EQ(f.Types, (std::set<int32_t>{0, 1, 3}));
    EXPECT_EQ(f.KeyUsage, 192u);
    EXPECT_EQ(f.ExtKeyUsage, 4u);
    EXPECT_TRUE(f.Exceeded);

    EXPECT_TRUE(Parse("<Params/>").Exceeded);
    EXPECT_FALSE(Parse("<Params><Exceeded>yes</Exceeded></Params>").Exceeded);
    EXPECT_EQ(Parse("<Params><Serial> AB </Serial></Params>", zk::kFilterAll | zk::kFilterTrimAllCodes).Serial, "AB");
    zk::CertFilter usageOnly = Parse("<Params><DRFO>1</DRFO><Types>2</Types></Params>", zk::kFilterUsage);
    EXPECT_TRUE(usageOnly.DRFO.empty());
    EXPECT_EQ(usageOnly.Types, (std::set<int32_t>{2}));
    EXPECT_TRUE(zk::ReadCertFilter(nullptr).Types.empty());
}

TEST(CertListOrder, OrderAndDuplicates) {
    auto make = [](const char* drfo, const char* edrpou, int32_t dateBeg, const char* serial, const char* path) {
        zk::CertRecord r;
        r.DRFO = drfo;
        r.EDRPOU = edrpou;
        r.DateBeg = dateBeg;
        r.Serial = serial;
        r.path = path;
        return r;
    };
    zk::CertList list;
    const std::string cyr = Cp("К");  // 0xCA: above every ASCII byte when compared unsigned
    EXPECT_TRUE(list.insert(make(cyr.c_str(), "", 0, "A", "cyrillic")).second);
    EXPECT_TRUE(list.insert(make("2", "1", 5, "A", "date5")).second);
    EXPECT_TRUE(list.insert(make("2", "1", -5, "A", "date-5")).second);
    EXPECT_TRUE(list.insert(make("2", "1", 5, "B", "serialB")).second);
    EXPECT_TRUE(list.insert(make("2", "", 9, "A", "shorterEdrpou")).second);
    EXPECT_TRUE(list.insert(make("10", "9", 0, "A", "drfo10")).second);
    EXPECT_FALSE(list.insert(make("2", "1", 5, "A", "duplicate")).second);
    std::vector<std::string> paths;
    for (const auto& r : list) paths.push_back(r.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"drfo10", "shorterEdrpou", "date-5", "date5", "serialB", "cyrillic"}));
}

}  // namespace
