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
    Write("; comment\r\n[Common]\r\n  Host = \t 127.0.0.2  \r\nQuoted=\"  spaced  \"\r\nport=8080x\r\n"
          "Host=second\r\n[Other]\r\nHost=other\n");
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

TEST_F(ProfileTest, WriteFailsCleanlyInAMissingFolder) {
    EXPECT_FALSE(zk::Profile::WriteString((dir / "no" / "x.ini").string(), "s", "k", std::string("v")));
}

}  // namespace
