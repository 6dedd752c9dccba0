// DB_COMMAND and DB_DROP: the name rule, the rendering of rows, errors and
// the deletion of files.
#include <sqlite3.h>

#include <dirent.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "DbTestUtil.h"
#include "base/RequestContext.h"
#include "commands/datastore/DbRegistry.h"
#include "base/Settings.h"

namespace {

namespace fs = std::filesystem;
using zktest::Row;

class DbCommandTest : public zktest::DbFixture {
protected:
    void TearDown() override {
        zk::SetHostSettingsForTesting(zk::HostSettings{});
        DbFixture::TearDown();
    }
    static void SetHost(void (*change)(zk::HostSettings&)) {
        zk::HostSettings host;
        change(host);
        zk::SetHostSettingsForTesting(host);
    }
    static size_t OpenDescriptors() {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++n;
        return n;
    }
};

const std::string kRunaway = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c";

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

// What SQL may reach of the engine: its own tables and a few harmless
// pragmas; never a path, process-wide state, or module code fed with
// addresses (fts3_tokenizer hands out and accepts pointers).
TEST_F(DbCommandTest, AuthorizerTable) {
    ASSERT_EQ(Sql("engine", "CREATE TABLE t(a)")->Code(), 0);
    const std::string denied[] = {
        "SELECT hex(fts3_tokenizer('simple'))",
        "SELECT FTS3_TOKENIZER('simple')",
        "SELECT fts3_tokenizer('evil', X'4141414141414141')",
        "CREATE VIRTUAL TABLE v USING fts3(tokenize=simple)",
        "CREATE VIRTUAL TABLE v USING fts4(a)",
        "CREATE VIRTUAL TABLE r USING rtree(id, a, b)",
        "PRAGMA temp_store_directory='" + dir.file("elsewhere") + "'",
        "PRAGMA Temp_Store_Directory",
        "PRAGMA data_store_directory='/tmp'",
        "PRAGMA database_list",
        "SELECT file FROM pragma_database_list",
        "PRAGMA main.database_list",
        "PRAGMA soft_heap_limit=1",
        "PRAGMA hard_heap_limit=1",
        "PRAGMA threads=8",
        "PRAGMA trusted_schema=1",
        "PRAGMA writable_schema=1",
        "PRAGMA busy_timeout=100000000",
        "PRAGMA cache_size=-1000000000",
        "PRAGMA mmap_size=1000000000",
        "PRAGMA compile_options",
        "PRAGMA no_such_pragma",
        "SELECT 1; PRAGMA temp_store_directory='/tmp'",
    };
    for (const std::string& sql : denied) {
        auto a = Sql("engine", sql);
        ASSERT_TRUE(a) << sql;
        // SQLite reports a refused function as a plain error.
        EXPECT_TRUE(a->Code() == SQLITE_AUTH || a->Code() == SQLITE_ERROR) << sql << ": " << a->Code();
        EXPECT_EQ(a->At("Return/Message").rfind("not authorized", 0), 0u) << sql << ": " << a->At("Return/Message");
    }
    EXPECT_EQ(sqlite3_temp_directory, nullptr) << "no page changes the process's temporary folder";

    const std::string allowed[] = {
        "PRAGMA journal_mode",
        "PRAGMA foreign_keys=ON",
        "PRAGMA user_version=7",
        "PRAGMA USER_VERSION",
        "PRAGMA table_info(t)",
        "SELECT name FROM pragma_table_info('t')",
        "PRAGMA integrity_check",
        "PRAGMA page_count",
        "PRAGMA main.synchronous=NORMAL",
        "SELECT value FROM json_each('[1,2]')",
        "CREATE TABLE u(a); CREATE INDEX ui ON u(a); DROP TABLE u",
        "CREATE TEMP TABLE tt(a); INSERT INTO tt VALUES(1)",
        "VACUUM",
    };
    for (const std::string& sql : allowed) {
        auto a = Sql("engine", sql);
        ASSERT_TRUE(a) << sql;
        EXPECT_EQ(a->Code(), 0) << sql << ": " << a->At("Return/Message");
    }
    auto version = Rows(*Sql("engine", "PRAGMA user_version"));
    ASSERT_EQ(version.size(), 1u);
    EXPECT_EQ(version[0][0].text, "7");
}

// A statement that never ends is stopped at the SqlTimeout setting, and at
// once when its client has gone; it answers the SQL failure and the
// database serves the next request.
TEST_F(DbCommandTest, RunawaySqlIsInterrupted) {
    SetHost([](zk::HostSettings& h) { h.sqlTimeout = 1; });
    ASSERT_EQ(Sql("spin", "CREATE TABLE t(a); INSERT INTO t VALUES(1)")->Code(), 0);
    const std::string runaway[] = {
        kRunaway,
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c WHERE x < 0",
        // Many statements share one limit.
        "SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c LIMIT 2000000) "
        "SELECT x FROM c);" + std::string(200, ' ') + [] {
            std::string more;
            for (int i = 0; i < 50; ++i)
                more += "SELECT count(*) FROM (WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c "
                        "LIMIT 2000000) SELECT x FROM c);";
            return more;
        }(),
    };
    for (const std::string& sql : runaway) {
        auto a = Sql("spin", sql);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Code(), SQLITE_INTERRUPT) << sql.substr(0, 80);
        EXPECT_EQ(a->At("Return/Message"), "interrupted");
        EXPECT_EQ(Rows(*Sql("spin", "SELECT a FROM t")).size(), 1u) << "the database still answers";
    }

    // The client gone: stopped without waiting for the limit.
    SetHost([](zk::HostSettings& h) { h.sqlTimeout = 3600; });
    std::atomic<bool> gone{true};
    zk::RequestContext context{"https://page.example", &gone};
    {
        zk::ScopedRequest current(context);
        auto a = Sql("spin", kRunaway);
        EXPECT_EQ(a->Code(), SQLITE_INTERRUPT);
    }
    EXPECT_EQ(Rows(*Sql("spin", "SELECT a FROM t")).size(), 1u);
}

// A result too large to answer stops the statement instead of filling memory.
TEST_F(DbCommandTest, ResultIsBounded) {
    SetHost([](zk::HostSettings& h) { h.maxBody = 1 << 20; });
    auto endless = Sql("rows", "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT x FROM c");
    ASSERT_TRUE(endless);
    EXPECT_EQ(endless->Code(), SQLITE_TOOBIG);
    EXPECT_EQ(endless->At("Return/Message"), "string or blob too big");
    EXPECT_EQ(endless->Find("Data/Result"), nullptr);
    auto blob = Sql("rows", "SELECT randomblob(2000000)");
    EXPECT_EQ(blob->Code(), SQLITE_TOOBIG);
    // Within the bound all rows come.
    auto some = Sql("rows", "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c LIMIT 1000) SELECT x FROM c");
    EXPECT_EQ(Rows(*some).size(), 1000u);
}

// Ever new database names never exhaust the file descriptors: the least
// recently used connection is closed and opens again on its next use, a
// protected one only with its key.
TEST_F(DbCommandTest, OpenConnectionsAreBounded) {
    ASSERT_EQ(Sql("vault", "CREATE TABLE t(v); INSERT INTO t VALUES('kept')", "ключ")->Code(), 0);
    ASSERT_EQ(Sql("plain", "CREATE TABLE t(v); INSERT INTO t VALUES('plain')")->Code(), 0);
    const size_t before = OpenDescriptors();
    for (int i = 0; i < static_cast<int>(zk::kMaxOpenDatabases) + 40; ++i) {
        auto a = Sql("many" + std::to_string(i), "SELECT 1");
        ASSERT_EQ(a ? a->Code() : -1, 0) << i;
        EXPECT_LE(zk::OpenDatabaseCount(), zk::kMaxOpenDatabases);
    }
    EXPECT_LE(OpenDescriptors(), before + zk::kMaxOpenDatabases) << "one descriptor per open database at most";

    auto plain = Rows(*Sql("plain", "SELECT v FROM t"));
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0][0].text, "plain") << "reopened transparently";
    // The protected one was closed: without its key it does not open.
    EXPECT_EQ(Sql("vault", "SELECT v FROM t")->Code(), SQLITE_NOTADB);
    auto kept = Rows(*Sql("vault", "SELECT v FROM t", "ключ"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0][0].text, "kept");
}

// A link in "Data" is deleted, never followed; a "Data" that is a link is
// refused by every command of the store.
TEST_F(DbCommandTest, DeletionNeverFollowsLinks) {
    const std::string outside = dir.file("outside");
    fs::create_directories(outside);
    zktest::WriteFile(outside + "/precious.txt", "keep me");
    fs::permissions(outside + "/precious.txt", fs::perms::owner_read);
    ASSERT_EQ(Sql("real", "CREATE TABLE t(a)")->Code(), 0);
    fs::create_symlink(outside + "/precious.txt", DbFile("link.db"));
    fs::create_symlink(outside, DbFile("linkdir.db"));

    EXPECT_EQ(Sql("link", "SELECT 1")->Code(), SQLITE_CANTOPEN) << "a linked database file is not opened";
    auto dropped = Command("DB_DROP", "<Base>" + zk::Base64Encode("link") + "</Base>");
    EXPECT_EQ(dropped->Code(), 0);
    EXPECT_FALSE(fs::is_symlink(DbFile("link.db")));
    EXPECT_EQ(zktest::ReadFile(outside + "/precious.txt"), "keep me");
    EXPECT_EQ(fs::status(outside + "/precious.txt").permissions() & fs::perms::all, fs::perms::owner_read)
        << "the target's mode is untouched";
    EXPECT_EQ(Command("DB_DROP", "<Base>" + zk::Base64Encode("all") + "</Base>")->Code(), 0);
    EXPECT_FALSE(fs::is_symlink(DbFile("linkdir.db")));
    EXPECT_TRUE(fs::exists(outside + "/precious.txt"));

    // "Data" itself a link to another folder.
    fs::remove_all(dir.file("Data"));
    fs::create_directory_symlink(outside, dir.file("Data"));
    EXPECT_EQ(Command("DB_DROP", "<Base>" + zk::Base64Encode("all") + "</Base>")->Code(), 1);
    EXPECT_EQ(Command("DB_DROP", "<Base>" + zk::Base64Encode("precious") + "</Base>")->Code(), 1);
    EXPECT_EQ(zktest::ReadFile(outside + "/precious.txt"), "keep me");
    auto opened = Sql("inside", "CREATE TABLE t(a)");
    EXPECT_EQ(opened->Code(), SQLITE_CANTOPEN);
    EXPECT_EQ(opened->At("Return/Message"), "database not opened");
    EXPECT_EQ(Command("SAVE_DATA", "", "blob")->Code(), 12);
    EXPECT_EQ(Command("LOAD_DATA", "")->Code(), 12);
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1) << "nothing written there";
    fs::remove(dir.file("Data"));
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
