#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "TestUtil.h"
#include "commands/ProcessRequest.h"
#include "base/Log.h"

namespace {

struct Seen {
    bool called = false;
    bool hadParams = false;
    std::string data;
    std::string command;
};
Seen g_seen;

bool Recorder(const char* command, const tinyxml2::XMLElement* params, const char* data, std::string& answer) {
    g_seen.called = true;
    g_seen.command = command;
    g_seen.hadParams = params != nullptr;
    g_seen.data = data ? data : "<none>";
    answer = "answer";
    return true;
}

bool Refuser(const char*, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    answer = "left over";
    return false;
}

bool Thrower(const char*, const tinyxml2::XMLElement*, const char*, std::string& answer) {
    answer = "half done";
    throw std::runtime_error("disk on fire");
}

// The built-in table with some handlers swapped.
std::vector<zk::CommandRow> TableWith(std::initializer_list<const char*> names, zk::CommandHandler handler) {
    size_t n = 0;
    const zk::CommandRow* rows = zk::CommandTable(&n);
    std::vector<zk::CommandRow> table(rows, rows + n);
    for (zk::CommandRow& row : table)
        for (const char* name : names)
            if (std::string_view(row.name) == name) row.handler = handler;
    return table;
}

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = {};
        table = TableWith({"GET_VERSION", "CHECK_CERT_KEY", "SET_SIGN", "DONGLES_FILE_SET", "PARENT_XCHG", "LOAD_DATA",
                           "SAVE_DATA"},
                          &Recorder);
        for (zk::CommandRow& row : table)  // a row without a handler: a command this build does not offer
            if (std::string_view(row.name) == "DONGLES_LIST") row.handler = nullptr;
        zk::log::Start(dir.str(), true);
    }
    void TearDown() override { zk::log::Stop(); }
    bool Dispatch(const std::string& xml, std::string& answer) {
        tinyxml2::XMLDocument doc;
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << xml;
        return zk::DispatchRequest(doc, answer, table);
    }
    std::string Log() { return zktest::ReadFile(dir.file("ZelkorH.log")); }
    std::vector<zk::CommandRow> table;
    zktest::TempDir dir;
};

TEST_F(DispatchTest, TableHasSixtyEightUniqueRows) {
    size_t n = 0;
    const zk::CommandRow* rows = zk::CommandTable(&n);
    ASSERT_EQ(n, 68u);
    EXPECT_STREQ(rows[0].name, "GET_VERSION");
    EXPECT_STREQ(rows[67].name, "DONGLES_FILE_SET");
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j) EXPECT_STRNE(rows[i].name, rows[j].name);
}

TEST_F(DispatchTest, FindsRequestAndCollectsInputs) {
    struct Case {
        const char* name;
        const char* xml;
        bool ok;
        bool called;
        bool hadParams;
        const char* data;
    };
    const Case cases[] = {
        {"lower-case names", "<request><command>get_version</command></request>", true, true, false, "<none>"},
        {"nested Request", "<a><b><!-- c --><REQUEST><Command>GET_VERSION</Command><Params/></REQUEST></b></a>", true,
         true, true, "<none>"},
        {"second Command empty keeps the first",
         "<Request><Command>DONGLES_FILE_SET</Command><Command/><Data>QQ==</Data></Request>",
         true, true, false, "QQ=="},
        {"last Command with text wins",
         "<Request><Command>GET_VERSION</Command><Command>DONGLES_FILE_SET</Command></Request>", true,
         true, false, "<none>"},
        {"CDATA command and data",
         "<Request><Command><![CDATA[DONGLES_FILE_SET]]></Command><Data><![CDATA[x<y]]></Data></Request>",
         true, true, false, "x<y"},
        {"last Data with text wins, empty counts as absent",
         "<Request><Command>DONGLES_FILE_SET</Command><Data>one</Data><Data>two</Data><Data/></Request>", true, true,
         false, "two"},
        // What a row requires is enforced before its handler runs.
        {"SET_SIGN with Params and Data reaches its handler",
         "<Request><Command>SET_SIGN</Command><Params/><Data>QQ==</Data></Request>", true, true, true, "QQ=="},
        {"SET_SIGN without Params is refused", "<Request><Command>SET_SIGN</Command><Data>QQ==</Data></Request>", false,
         false, false, ""},
        {"SET_SIGN without Data is refused", "<Request><Command>SET_SIGN</Command><Params/><Data/></Request>", false,
         false, false, ""},
        {"a row requiring nothing reaches its handler without Params",
         "<Request><Command>DONGLES_FILE_SET</Command></Request>", true, true,
         false, "<none>"},
        {"CHECK_CERT_KEY without Params is refused", "<Request><Command>CHECK_CERT_KEY</Command></Request>", false, false,
         false, ""},
        {"PARENT_XCHG with empty Data is refused", "<Request><Command>PARENT_XCHG</Command><Data></Data></Request>", false,
         false, false, ""},
        {"a handler taking nothing gets nothing", "<Request><Command>LOAD_DATA</Command><Params/><Data>z</Data></Request>",
         true, true, false, "<none>"},
        {"a handler taking Data only", "<Request><Command>SAVE_DATA</Command><Params/><Data>z</Data></Request>", true,
         true, false, "z"},
        {"unknown command", "<Request><Command>NO_SUCH</Command></Request>", false, false, false, ""},
        {"prefix of a name is no match", "<Request><Command>GET_VERS</Command></Request>", false, false, false, ""},
        {"command not offered by this build", "<Request><Command>DONGLES_LIST</Command></Request>", false, false, false,
         ""},
    };
    for (const auto& c : cases) {
        g_seen = {};
        std::string answer = "stale";
        EXPECT_EQ(Dispatch(c.xml, answer), c.ok) << c.name;
        EXPECT_EQ(g_seen.called, c.called) << c.name;
        if (c.called) {
            EXPECT_EQ(g_seen.hadParams, c.hadParams) << c.name;
            EXPECT_EQ(g_seen.data, c.data) << c.name;
            EXPECT_EQ(answer, "answer") << c.name;
        } else {
            EXPECT_TRUE(answer.empty()) << c.name;
        }
    }
}

TEST_F(DispatchTest, LogLines) {
    std::string answer;
    Dispatch("<x><!-- no request --></x>", answer);
    Dispatch("<Request><Params/></Request>", answer);
    Dispatch("<Request><Command>get_version</Command></Request>", answer);
    Dispatch("<Request><Command>CHECK_CERT_KEY</Command></Request>", answer);
    std::string log = Log();
    const char* expected[] = {
        "ProcessRequestPOST, ProcessRequest, ", "\t- Enter. Empty request\r\n",
        "\t- Enter. Undefined command\r\n",    "\t- Enter. Command: 'get_version'\r\n",
        "\t- Exit. Command: 'get_version', Result: 'OK'\r\n",
        "\t- Enter. Command: 'CHECK_CERT_KEY'\r\n", "\t- Exit. Command: 'CHECK_CERT_KEY', Result: 'FAIL'\r\n",
    };
    size_t pos = 0;
    for (const char* e : expected) {
        size_t found = log.find(e, pos);
        ASSERT_NE(found, std::string::npos) << e << "\n" << log;
        pos = found;
    }
    // The refusals without a command write one line each and no Exit line.
    EXPECT_EQ(log.find("Exit"), log.find("Exit. Command: 'get_version'"));
}

TEST_F(DispatchTest, HandlerFailureDropsItsAnswer) {
    table = TableWith({"GET_VERSION"}, &Refuser);
    std::string answer;
    EXPECT_FALSE(Dispatch("<Request><Command>GET_VERSION</Command></Request>", answer));
    EXPECT_TRUE(answer.empty());
}

// A handler that throws is a failed command (the front end answers code 56);
// the failure is logged and the dispatcher goes on serving.
TEST_F(DispatchTest, HandlerThatThrowsFails) {
    table = TableWith({"GET_VERSION"}, &Thrower);
    std::string answer;
    EXPECT_FALSE(Dispatch("<Request><Command>get_version</Command></Request>", answer));
    EXPECT_TRUE(answer.empty());
    table = TableWith({"GET_VERSION"}, &Recorder);
    EXPECT_TRUE(Dispatch("<Request><Command>GET_VERSION</Command></Request>", answer));
    const std::string log = Log();
    EXPECT_NE(log.find("\t- Command 'GET_VERSION' failed: disk on fire\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\t- Exit. Command: 'get_version', Result: 'FAIL'\r\n"), std::string::npos) << log;
}

TEST_F(DispatchTest, HandlerGetsItsRowsName) {
    std::string answer;
    ASSERT_TRUE(Dispatch("<Request><Command>set_Sign</Command><Params/><Data>QQ==</Data></Request>", answer));
    EXPECT_EQ(g_seen.command, "SET_SIGN");
}

// The JavaScript client's command list and its typed methods follow the
// table: a command renamed, added or removed here fails this test until the
// client says the same (one method per command, GET_CERT_FILES -> getCertFiles).
TEST(CommandTable, JavaScriptClientFollowsTheTable) {
    auto read = [](const char* path) {
        std::ifstream in(std::string(ZK_SOURCE_DIR) + "/" + path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string commands = read("clients/js/src/commands.js"), types = read("clients/js/src/index.d.ts");
    ASSERT_FALSE(commands.empty());
    ASSERT_FALSE(types.empty());
    std::set<std::string> listed, typed;
    const std::regex row(R"(\n  \['([A-Z_]+)',)"), method(R"(\n  ([a-z][A-Za-z0-9]*)\()");
    for (std::sregex_iterator it(commands.begin(), commands.end(), row), end; it != end; ++it) listed.insert((*it)[1]);
    for (std::sregex_iterator it(types.begin(), types.end(), method), end; it != end; ++it) typed.insert((*it)[1]);
    size_t n = 0;
    const zk::CommandRow* rows = zk::CommandTable(&n);
    std::set<std::string> table, methods;
    for (size_t i = 0; i < n; ++i) {
        table.insert(rows[i].name);
        std::string name;
        bool upper = false;
        for (const char* c = rows[i].name; *c; ++c) {
            if (*c == '_') {
                upper = true;
                continue;
            }
            name += static_cast<char>(upper ? *c : std::tolower(static_cast<unsigned char>(*c)));
            upper = false;
        }
        methods.insert(name);
    }
    EXPECT_EQ(listed, table);
    for (const std::string& m : methods) EXPECT_TRUE(typed.count(m)) << m << " is not typed in index.d.ts";
}

}  // namespace
