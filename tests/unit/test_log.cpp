#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "base/Log.h"
#include "base/LogRedact.h"
#include "commands/ProcessRequest.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { zk::log::Stop(); }
    std::string Text() { return zktest::ReadFile(dir.file("ZelkorH.log")); }
    zktest::TempDir dir;
};

TEST_F(LogTest, NothingOpenedWhenOff) {
    zk::log::Start(dir.str(), false);
    ZLOG("Fn", "never %d", 1);
    EXPECT_FALSE(zk::log::IsOpen());
    EXPECT_FALSE(std::filesystem::exists(dir.file("ZelkorH.log")));
}

TEST_F(LogTest, LineHeadFormatAndPlainWriter) {
    setenv("TZ", "UTC", 1);
    tzset();
    zk::log::Start(dir.str(), true);
    zk::log::Write("ProcessRequestPOST", "/src/commands/ProcessRequest.cpp", 42, "Enter. Command: '%s'", "get_version");
    zk::log::WritePlain("_http_cb", "HTTPServer.cpp", -3, "100% plain %s");
    std::string text = Text();
    std::regex line1(R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d ProcessRequestPOST, ProcessRequest, 42\t- Enter\. Command: 'get_version'\r\n)");
    EXPECT_TRUE(std::regex_search(text, line1)) << text;
    EXPECT_NE(text.find(" _http_cb, HTTPServer, -3\t- 100% plain %s\r\n"), std::string::npos) << text;
    // Day-month-year order of the head, checked against the clock.
    time_t now = time(nullptr);
    struct tm tm {};
    gmtime_r(&now, &tm);
    char head[16];
    snprintf(head, sizeof head, "%02u-%02u-%02u ", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
    EXPECT_EQ(text.substr(0, 9), head);
}

TEST_F(LogTest, AppendsAcrossRuns) {
    zk::log::Start(dir.str(), true);
    ZLOG("A", "first");
    zk::log::Stop();
    zk::log::Start(dir.str(), true);
    ZLOG("B", "second");
    std::string text = Text();
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(LogTest, ProviderCallbackLines) {
    zk::log::Start(dir.str(), true);
    std::string longName(300, 'f');
    zk::log::ProviderLogCallback("loaded", longName.c_str(), "C:\\build\\zelkord\\Methods.cpp", 7);
    std::string text = Text();
    EXPECT_NE(text.find(" " + std::string(249, 'f') + ", Methods, 7\t- ZelkorD: loaded\r\n"), std::string::npos);
}

TEST_F(LogTest, ConcurrentLinesNeverMix) {
    zk::log::Start(dir.str(), true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) ZLOG("T", "thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::string text = Text();
    std::regex line(R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d T, test_log, \d+\t- thread (\d) line \d+ ([a-d])\2{99}\r$)");
    size_t lines = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::smatch m;
        std::string l = text.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        EXPECT_EQ(m[2].str()[0], 'a' + (m[1].str()[0] - '0'));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

TEST(LogRedact, MasksSecretsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"<Params><Pass Preserve=\"true\">c2VjcmV0</Pass><DRFO>123</DRFO></Params>",
         "<Params><Pass Preserve=\"true\">***</Pass><DRFO>123</DRFO></Params>"},
        {"<params><pass>x</pass><OLDPASS>a</OLDPASS><newPass>b</newPass><SenderSK>AAAA</SenderSK></params>",
         "<params><pass>***</pass><OLDPASS>***</OLDPASS><newPass>***</newPass><SenderSK>***</SenderSK></params>"},
        {"<Base TYPE=\"PROT\" KEY=\"a2V5\">ZGI=</Base>", "<Base TYPE=\"PROT\" KEY=\"***\">ZGI=</Base>"},
        {"<Passport>kept</Passport><Pass/><KEY></KEY>", "<Passport>kept</Passport><Pass/><KEY></KEY>"},
        {"<AdminPass><![CDATA[0000]]></AdminPass><UserPass>1</UserPass>",
         "<AdminPass>***</AdminPass><UserPass>***</UserPass>"},
        {"<Pass>unterminated", "<Pass>***"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(zk::log::RedactSecrets(in, zk::LogRulesFor("")), out);
}

}  // namespace
