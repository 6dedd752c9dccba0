#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/Profile.h"

namespace fs = std::filesystem;

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("zk_profile_" + std::to_string(getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        file = (dir / "Params.ini").string();
    }
    void TearDown() override { fs::remove_all(dir); }
    void Write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
    std::string Read() {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir;
    std::string file;
};

TEST_F(ProfileTest, ReadsWithWindowsRules) {
    const std::string s = "; comment\r\n[Common]\r\n  Host = \t 127.0.0.2  \r\nQuoted=\"  spaced  \"\r\nport=8080x\r\n"
                          "Host=second\r\n[Other]\r\nHost=other\n";
    Write(s);
    EXPECT_EQ(zk::Profile::GetString(file, "common", "HOST"), "127.0.0.2");
    EXPECT_EQ(zk::Profile::GetString(file, "COMMON", "quoted"), "  spaced  ");
    EXPECT_EQ(zk::Profile::GetString(file, "common", "missing", "def"), "def");
    EXPECT_EQ(zk::Profile::GetString(file, "nosection", "Host", "def"), "def");
    EXPECT_EQ(zk::Profile::GetString(file, "common", "Host", "", 3), "127");
    EXPECT_EQ(zk::Profile::GetInt(file, "common", "Port", 1), 8080);
    EXPECT_EQ(zk::Profile::GetInt(file, "common", "Host", 7), 127);
    EXPECT_EQ(zk::Profile::GetInt(file, "common", "Nothing", -5), -5);
    EXPECT_EQ(zk::Profile::GetString(file + ".absent", "common", "Host", "d"), "d");
    EXPECT_TRUE(zk::Profile::HasSection(file, "OTHER"));
    EXPECT_FALSE(zk::Profile::HasSection(file, "absent"));
    Write(s + "[common]\r\nx=1\r\n[ Third ]\r\n");
    EXPECT_EQ(zk::Profile::SectionNames(file), (std::vector<std::string>{"Common", "Other", "Third"}));
    EXPECT_TRUE(zk::Profile::SectionNames(file + ".absent").empty());
}

TEST_F(ProfileTest, WritesCreateReplaceAndDelete) {
    ASSERT_TRUE(zk::Profile::WriteString(file, "common", "PrevUpd", std::string("1")));
    ASSERT_TRUE(zk::Profile::WriteString(file, "ocspServers", "UA-1", std::string("http://a:80")));
    ASSERT_TRUE(zk::Profile::WriteString(file, "COMMON", "path", std::string("x")));
    ASSERT_TRUE(zk::Profile::WriteString(file, "common", "PREVUPD", std::string("2")));
    EXPECT_EQ(zk::Profile::GetString(file, "common", "PrevUpd"), "2");
    EXPECT_EQ(zk::Profile::GetString(file, "common", "Path"), "x");
    EXPECT_EQ(zk::Profile::GetString(file, "ocspservers", "ua-1"), "http://a:80");
    ASSERT_TRUE(zk::Profile::WriteString(file, "common", "Path", std::nullopt));
    EXPECT_EQ(zk::Profile::GetString(file, "common", "Path", "gone"), "gone");
    auto section = zk::Profile::GetSection(file, "common");
    ASSERT_EQ(section.size(), 1u);
    EXPECT_EQ(section[0].second, "2");
    // One section header each, and no temporary file left behind.
    std::string text = Read();
    EXPECT_EQ(text.find("[common]"), text.rfind("[common]"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// A page-supplied value or key must never add lines of its own: a CR or LF
// would let it plant "[common]" and "UsrCertPath=..." in the settings file.
TEST_F(ProfileTest, WritesThatWouldAddLinesAreRefused) {
    const std::string before = "[common]\r\nPath=x\r\n";
    struct Case {
        const char* name;
        std::string section, key, value;
        bool badName = true;  // a deletion of the key is refused too
    };
    const Case refused[] = {
        {"CR LF in a value", "ocspServers", "UA-1", "http://a\r\n[common]\r\nUsrCertPath=/tmp/evil", false},
        {"LF alone in a value", "ocspServers", "UA-1", "http://a\nUsrCertPath=/tmp/evil", false},
        {"CR alone in a value", "ocspServers", "UA-1", "http://a\rx", false},
        {"NUL in a value", "ocspServers", "UA-1", std::string("http://a\0b", 10), false},
        {"= in a key", "ocspServers", "UsrCertPath=/tmp/evil;", "x"},
        {"[ in a key", "ocspServers", "[common", "x"},
        {"] in a key", "ocspServers", "common]", "x"},
        {"LF in a key", "ocspServers", "a\n[common]", "x"},
        {"NUL in a key", "ocspServers", std::string("a\0b", 3), "x"},
        {"empty key", "ocspServers", "  ", "x"},
        {"comment key", "ocspServers", ";x", "x"},
        {"] in a section", "ocsp]x", "k", "v"},
        {"LF in a section", "a\n[common", "k", "v"},
        {"empty section", "", "k", "v"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        Write(before);
        EXPECT_FALSE(zk::Profile::WriteString(file, c.section, c.key, c.value));
        if (c.badName) {
            EXPECT_FALSE(zk::Profile::WriteString(file, c.section, c.key, std::nullopt));
        }
        EXPECT_EQ(Read(), before) << "the file stays as it was";
    }
    EXPECT_EQ(zk::Profile::GetString(file, "common", "UsrCertPath", "none"), "none");

    // What legitimate callers write passes: "=", brackets, quotes and
    // Cyrillic in values; blanks and dashes in keys.
    Write(before);
    ASSERT_TRUE(zk::Profile::WriteString(file, "ocspServers", "UA-12345678", std::string("http://ocsp/?a=1&b=[2]")));
    ASSERT_TRUE(zk::Profile::WriteString(file, "common", "KeyPath", std::string("/home/u/Ключі \"x\"")));
    EXPECT_EQ(zk::Profile::GetString(file, "ocspservers", "UA-12345678"), "http://ocsp/?a=1&b=[2]");
    EXPECT_EQ(zk::Profile::GetString(file, "common", "KeyPath"), "/home/u/Ключі \"x\"");
}

TEST_F(ProfileTest, WriteFailsCleanlyInAMissingFolder) {
    EXPECT_FALSE(zk::Profile::WriteString((dir / "no" / "x.ini").string(), "s", "k", std::string("v")));
}

// The writer bounds what requests can make of a file: keys per section,
// text per name and value, the size of the file; a write beyond a bound
// changes nothing, and a batch is written whole or not at all.
TEST_F(ProfileTest, WritesBeyondTheBoundsChangeNothing) {
    using zk::Profile::Entry;
    using zk::Profile::WriteResult;
    using zk::Profile::kMaxEntries;
    using zk::Profile::kMaxText;
    const auto key = [](size_t i) { return "UA-" + std::to_string(i); };
    std::vector<Entry> full;
    for (size_t i = 0; i < kMaxEntries; ++i) full.emplace_back(key(i), "http://o/" + std::to_string(i));
    const std::string longest(kMaxText, 'v');

    const struct {
        const char* name;
        std::string before;  // "full": kMaxEntries keys in ocspServers
        std::vector<Entry> write;
        WriteResult result;
    } cases[] = {
        {"the last key that fits", "", full, WriteResult::Written},
        {"one key more", "full", {{"UA-new", "x"}}, WriteResult::TooLarge},
        {"a batch whose last key does not fit", "", [&] {
             std::vector<Entry> more = full;
             more.emplace_back("UA-new", "x");
             return more;
         }(), WriteResult::TooLarge},
        {"a full section's keys replaced and deleted", "full", {{key(1), "y"}, {key(2), std::nullopt}},
         WriteResult::Written},
        {"another section of a full file", "full", {{"PrevUpd", "1"}}, WriteResult::Written},
        {"the longest value", "", {{"UA-1", longest}}, WriteResult::Written},
        {"a value too long", "", {{"UA-1", longest + "v"}}, WriteResult::TooLarge},
        {"a key too long", "", {{std::string(kMaxText + 1, 'k'), "v"}}, WriteResult::TooLarge},
        {"a batch with one line break", "", {{"UA-1", "ok"}, {"UA-2", "a\r\nb"}}, WriteResult::Invalid},
    };
    for (const auto& c : cases) {
        fs::remove(file);
        Write("[common]\r\nPath=x\r\n");
        if (c.before == "full") {
            ASSERT_EQ(zk::Profile::WriteEntries(file, "ocspServers", full), WriteResult::Written);
        }
        const std::string before = Read();
        const std::string section = std::string(c.name) == "another section of a full file" ? "common" : "ocspServers";
        EXPECT_EQ(zk::Profile::WriteEntries(file, section, c.write), c.result) << c.name;
        if (c.result != WriteResult::Written) {
            EXPECT_EQ(Read(), before) << c.name;
        }
        EXPECT_LE(Read().size(), zk::Profile::kMaxFileBytes) << c.name;
    }
    EXPECT_EQ(zk::Profile::GetString(file, "ocspServers", "UA-1"), "");  // the refused batch left nothing

    // The file's size: keys of the longest values until the next would pass 1 MiB.
    fs::remove(file);
    std::vector<Entry> large;
    for (size_t i = 0; i < 1000; ++i) large.emplace_back(key(i), longest);
    ASSERT_EQ(zk::Profile::WriteEntries(file, "ocspServers", large), WriteResult::Written);
    size_t written = large.size();
    for (;; ++written) {
        const std::string before = Read();
        const WriteResult r = zk::Profile::WriteEntries(file, "ocspServers", {{key(written), longest}});
        if (r == WriteResult::TooLarge) {
            EXPECT_EQ(Read(), before);
            break;
        }
        ASSERT_EQ(r, WriteResult::Written);
    }
    EXPECT_LT(written, kMaxEntries);
    EXPECT_GT(Read().size() + kMaxText + 16, zk::Profile::kMaxFileBytes);
    // Replacing a value with one of the same length still works in a full file.
    EXPECT_TRUE(zk::Profile::WriteString(file, "ocspServers", key(0), std::string(kMaxText, 'w')));
}

// A file grown beyond the bound by something else is read up to its first
// 1 MiB (whole lines), and the next write leaves it within the bound.
TEST_F(ProfileTest, AnOversizedFileIsReadUpToTheBound) {
    std::string text = "[common]\r\nPrevUpd=1\r\n[ocspServers]\r\n";
    for (int i = 0; text.size() < 3 * zk::Profile::kMaxFileBytes; ++i)
        text += "UA-" + std::to_string(i) + "=" + std::string(1000, 'x') + "\r\n";
    text += "[late]\r\nKey=beyond the bound\r\n";
    Write(text);
    EXPECT_EQ(zk::Profile::GetString(file, "common", "PrevUpd"), "1");
    EXPECT_EQ(zk::Profile::GetString(file, "late", "Key", "absent"), "absent");
    const auto entries = zk::Profile::GetSection(file, "ocspServers");
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().second, std::string(1000, 'x'));  // no line cut in half
    EXPECT_TRUE(zk::Profile::WriteString(file, "common", "PrevUpd", std::string("2")));
    EXPECT_LE(Read().size(), zk::Profile::kMaxFileBytes);
    EXPECT_EQ(zk::Profile::GetString(file, "common", "PrevUpd"), "2");
}

}  // namespace
