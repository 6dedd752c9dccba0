// DB_COMMAND and DB_DROP: the name rule, the rendering of rows, errors and
// the deletion of files.
#include <sqlite3.h>

#include <filesystem>
#include <thread>

#include "DbTestUtil.h"

namespace {

namespace fs = std::filesystem;
using zktest::Row;

class DbCommandTest : public zktest::DbFixture {};

TEST_F(DbCommandTest, NameRule) {
    const std::string refused[] = {"my_db", "my.db", "a/b", "..", "../x", " db", "дані"};
    for (const auto& name : refused) EXPECT_FALSE(Sql(name, "SELECT 1")) << name;
    // Empty, not Base64 at all, and Base64 of nothing.
    for (const std::string base : {"", "!!!!", "===="})
        EXPECT_FALSE(Command("DB_COMMAND", "<Base>" + base + "</Base><Query>" + zk::Base64Encode("SELECT 1") + "</Query>"))
            << base;
    for (const std::string base : {"", "!!!!"}) EXPECT_FALSE(Command("DB_DROP", "<Base>" + base + "</Base>"));
    EXPECT_TRUE(!fs::exists(dir.file("Data")) || fs::is_empty(dir.file("Data")));

    // Letters and digits pass, lower-cased.
    auto ok = Sql("Orders2024", "SELECT 1");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->Code(), 0);
    EXPECT_EQ(ok->At("Data/Base"), "orders2024");
    EXPECT_TRUE(fs::exists(DbFile("orders2024.db")));
}

TEST_F(DbCommandTest, MissingParameters) {
    const std::string name = zk::Base64Encode("db");
    const std::string query = "<Query>" + zk::Base64Encode("SELECT 1") + "</Query>";
    EXPECT_FALSE(Command("DB_COMMAND", ""));
    EXPECT_FALSE(Command("DB_COMMAND", query));
    EXPECT_FALSE(Command("DB_COMMAND", "<Base>" + name + "</Base>"));
    EXPECT_FALSE(Command("DB_COMMAND", "<Base TYPE=\"prot\">" + name + "</Base>" + query));
    EXPECT_FALSE(Command("DB_COMMAND", "<Base TYPE=\"PROT\" KEY=\"\">" + name + "</Base>" + query));
    EXPECT_FALSE(Command("DB_DROP", ""));
}

TEST_F(DbCommandTest, RowsOfEveryType) {
    auto created = Sql("types",
                       "CREATE TABLE t(i INTEGER, r REAL, s TEXT, b BLOB, n);"
                       "INSERT INTO t VALUES(42, 2.5, 'Привіт, світ', X'00FF10', NULL);"
                       "INSERT INTO t VALUES(-7, 1e100, '', X'', 'x');");
    ASSERT_EQ(created->Code(), 0) << created->text;
    // The answer has its own envelope: no namespace, no message on success.
    EXPECT_EQ(created->Root()->Attribute("xmlns:xsi"), nullptr);
    EXPECT_EQ(created->At("Command"), "DB_COMMAND");
    EXPECT_EQ(created->Find("Return/Message"), nullptr);
    ASSERT_NE(created->Find("Data/Result"), nullptr);
    EXPECT_EQ(created->At("Data/Result"), "") << "no rows: an empty Result";

    auto selected = Sql("types", "SELECT i, r, s, b, n, i + 1 AS next FROM t ORDER BY rowid");
    ASSERT_EQ(selected->Code(), 0);
    const std::vector<Row> rows = Rows(*selected);
    ASSERT_EQ(rows.size(), 2u);
    auto expect = [](const Row& row, const std::vector<zktest::Field>& want) {
        ASSERT_EQ(row.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(row[i].name, want[i].name);
            EXPECT_EQ(row[i].text, want[i].text) << want[i].name;
            EXPECT_EQ(row[i].nil, want[i].nil) << want[i].name;
        }
    };
    expect(rows[0], {{"i", "42"}, {"r", "2.5"}, {"s", "Привіт, світ"}, {"b", "AP8Q"}, {"n", "", true}, {"next", "43"}});
    // An empty BLOB is nil like NULL; an empty text is not.
    expect(rows[1], {{"i", "-7"}, {"r", "1.0e+100"}, {"s", ""}, {"b", "", true}, {"n", "x"}, {"next", "-6"}});

    // Text is stored as Windows-1251 bytes, as another reader of the file sees.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(DbFile("types.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT hex(s) FROM t WHERE i = 42", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "CFF0E8E2B3F22C20F1E2B3F2");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(DbCommandTest, SqlErrorAnswersAndClosesTheConnection) {
    ASSERT_EQ(Sql("errs", "CREATE TABLE t(a); INSERT INTO t VALUES(1)")->Code(), 0);
    const std::pair<std::string, std::pair<int, std::string>> cases[] = {
        {"SELEC 1", {1, "near \"SELEC\": syntax error"}},
        {"SELECT * FROM missing", {1, "no such table: missing"}},
        {"INSERT INTO t VALUES(2); SELECT * FROM absent; INSERT INTO t VALUES(3)", {1, "no such table: absent"}},
        {"CREATE TABLE u(a UNIQUE); INSERT INTO u VALUES(1); INSERT INTO u VALUES(1)",
         {19, "UNIQUE constraint failed: u.a"}},
    };
    for (const auto& [sql, want] : cases) {
        auto a = Sql("errs", sql);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Code(), want.first) << sql;
        EXPECT_EQ(a->At("Return/Message"), want.second) << sql;
        EXPECT_EQ(a->Find("Data/Base"), nullptr);
    }
    // The statements before a failing one stay done; the next request reopens.
    auto rows = Rows(*Sql("errs", "SELECT a FROM t ORDER BY a"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][0].text, "2");
    // SQLite's own error log reaches the log file.
    EXPECT_NE(Log().find("cSQLst::Logger, SQLiteWrapper,"), std::string::npos);
    EXPECT_NE(Log().find("SQLite - Result: '1', Msg: 'no such table: missing"), std::string::npos);
}

TEST_F(DbCommandTest, OtherFilesCannotBeReached) {
    const std::string outside = dir.file("outside.db");
    const std::string attempts[] = {"ATTACH '" + outside + "' AS x", "VACUUM INTO '" + outside + "'"};
    for (const auto& sql : attempts) {
        auto a = Sql("jail", sql);
        EXPECT_EQ(a->Code(), SQLITE_AUTH) << sql;
    }
    EXPECT_FALSE(fs::exists(outside));
    // A plain VACUUM uses a temporary database of its own and still works.
    EXPECT_EQ(Sql("jail", "CREATE TABLE t(a); VACUUM")->Code(), 0);
}

TEST_F(DbCommandTest, DropOneAndAll) {
    ASSERT_EQ(Sql("one", "CREATE TABLE t(a)")->Code(), 0);
    ASSERT_EQ(Sql("onex", "CREATE TABLE t(a)")->Code(), 0);
    ASSERT_EQ(Command("SAVE_DATA", "", "blob")->Code(), 0);
    zktest::WriteFile(DbFile("one.db-journal"), "left over");
    fs::create_directories(DbFile("one.sub"));

    auto dropped = Command("DB_DROP", "<Base>" + zk::Base64Encode("ONE") + "</Base>");
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->Code(), 0);
    EXPECT_EQ(dropped->At("Data/Base"), "one");
    EXPECT_EQ(dropped->Find("Return/Message"), nullptr);
    EXPECT_FALSE(fs::exists(DbFile("one.db")));
    EXPECT_FALSE(fs::exists(DbFile("one.db-journal")));
    EXPECT_TRUE(fs::exists(DbFile("onex.db")));
    EXPECT_TRUE(fs::exists(DbFile("UserData.dat")));
    EXPECT_TRUE(fs::is_directory(DbFile("one.sub"))) << "subfolders are skipped";
    // Dropping it again, or a database never made, is no failure.
    EXPECT_EQ(Command("DB_DROP", "<Base>" + zk::Base64Encode("one") + "</Base>")->Code(), 0);
    // The dropped database opens anew, empty.
    EXPECT_EQ(Sql("one", "SELECT * FROM t")->Code(), 1);

    auto all = Command("DB_DROP", "<Base>" + zk::Base64Encode("All") + "</Base>");
    EXPECT_EQ(all->Code(), 0);
    EXPECT_EQ(all->At("Data/Base"), "all");
    EXPECT_FALSE(fs::exists(DbFile("onex.db")));
    EXPECT_FALSE(fs::exists(DbFile("UserData.dat")));
    EXPECT_EQ(Command("LOAD_DATA", "")->At("Data"), "");
    EXPECT_TRUE(fs::is_directory(DbFile("one.sub")));
}

TEST_F(DbCommandTest, ConcurrentRequestsShareOneConnection) {
    ASSERT_EQ(Sql("shared", "CREATE TABLE t(a)")->Code(), 0);
    constexpr int kThreads = 4, kInserts = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kInserts; ++i) {
                auto a = Sql("shared", "INSERT INTO t VALUES(" + std::to_string(t * 1000 + i) + ")");
                EXPECT_EQ(a ? a->Code() : -1, 0);
                if (i % 5 == 0) Sql("scratch" + std::to_string(t), "SELECT missing");  // opened and closed again
            }
        });
    // Meanwhile a drop of an unrelated database waits its turn.
    EXPECT_EQ(Command("DB_DROP", "<Base>" + zk::Base64Encode("scratch0") + "</Base>")->Code(), 0);
    for (auto& th : threads) th.join();
    auto rows = Rows(*Sql("shared", "SELECT count(*) AS n FROM t"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].text, std::to_string(kThreads * kInserts));
}

}  // namespace
