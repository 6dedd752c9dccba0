// Protected databases: the unit cipher of their files and what a wrong key does.
#include <openssl/evp.h>

#include <filesystem>
#include <random>

#include "DbTestUtil.h"
#include "commands/datastore/ProtectedVfs.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kMarker = "PLAINTEXT-MARKER-0123456789";
const std::string kKey = "ключ сторінки";

class ProtectedDbTest : public zktest::DbFixture {
protected:
    bool FileHas(const std::string& name, const std::string& needle) const {
        return zktest::ReadFile(DbFile(name)).find(needle) != std::string::npos;
    }
    // Closes the connection the way a failed statement does, so that the next
    // request opens the file anew (as after a restart of the service). Only a
    // request with the database's key reaches its open connection.
    void Reopen(const std::string& name, const std::string& key = kKey) {
        ASSERT_NE(Sql(name, "SELECT * FROM no_such_table", key)->Code(), 0);
    }
    std::vector<std::string> Column(const std::string& name, const std::string& sql, const std::string& key) {
        auto a = Sql(name, sql, key);
        EXPECT_TRUE(a && a->Code() == 0) << (a ? a->text : "refused");
        std::vector<std::string> values;
        if (a)
            for (const auto& row : Rows(*a)) values.push_back(row.at(0).text);
        return values;
    }
    int Lib() const { return zk::provider::SelectLibrary("QLB"); }
};

TEST_F(ProtectedDbTest, UnitCipherWorksOnAnyPartOfAFile) {
    const zk::SecretString key(std::string(32, 'k'));
    std::vector<uint8_t> plain(3000);
    std::mt19937 gen(7);
    for (auto& b : plain) b = static_cast<uint8_t>(gen());

    std::vector<uint8_t> whole = plain;
    ASSERT_TRUE(zk::ApplyUnitCipher(whole.data(), whole.size(), 0, key, Lib()));
    EXPECT_NE(whole, plain);
    // Any slice transformed at its own offset matches the whole-file transform.
    const std::pair<size_t, size_t> slices[] = {{0, 100}, {24, 4}, {500, 30}, {512, 512}, {700, 1500}, {2999, 1}};
    for (auto [offset, len] : slices) {
        std::vector<uint8_t> part(plain.begin() + offset, plain.begin() + offset + len);
        ASSERT_TRUE(zk::ApplyUnitCipher(part.data(), len, offset, key, Lib()));
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + offset)) << offset << "+" << len;
        ASSERT_TRUE(zk::ApplyUnitCipher(part.data(), len, offset, key, Lib()));
        EXPECT_TRUE(std::equal(part.begin(), part.end(), plain.begin() + offset)) << "self-inverse";
    }

    // Independently: AES-256-CTR under SHA-256 of the key, counter block =
    // the unit's offset (big-endian) followed by a zero block counter.
    std::vector<uint8_t> zeros(1024, 0), stream = zeros;
    ASSERT_TRUE(zk::ApplyUnitCipher(stream.data(), stream.size(), 0, key, Lib()));
    uint8_t aesKey[32];
    unsigned int n = 0;
    EVP_Digest(key.str().data(), key.str().size(), aesKey, &n, EVP_sha256(), nullptr);
    for (uint64_t unit : {0, 512}) {
        uint8_t counter[16] = {};
        for (int i = 0; i < 8; ++i) counter[7 - i] = static_cast<uint8_t>(unit >> (8 * i));
        std::vector<uint8_t> expected(512);
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        int outLen = 0;
        ASSERT_EQ(EVP_EncryptInit_ex(c, EVP_aes_256_ctr(), nullptr, aesKey, counter), 1);
        ASSERT_EQ(EVP_EncryptUpdate(c, expected.data(), &outLen, zeros.data(), 512), 1);
        EVP_CIPHER_CTX_free(c);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stream.begin() + unit)) << "unit at " << unit;
    }
    // Units never share a keystream.
    EXPECT_FALSE(std::equal(stream.begin(), stream.begin() + 512, stream.begin() + 512));
}

TEST_F(ProtectedDbTest, FilesHoldNoPlaintextAndReadBackAfterReopening) {
    std::string insert = "CREATE TABLE t(v TEXT, b BLOB); BEGIN;";
    for (int i = 0; i < 200; ++i) insert += "INSERT INTO t VALUES('" + std::string(kMarker) + "', X'DEADBEEF');";
    insert += "COMMIT;";
    ASSERT_EQ(Sql("secret", insert, kKey)->Code(), 0);
    ASSERT_EQ(Sql("open", insert)->Code(), 0);
    ASSERT_TRUE(FileHas("open.db", kMarker)) << "the search sees what an unprotected file holds";
    ASSERT_TRUE(fs::file_size(DbFile("secret.db")) > 4096);
    EXPECT_FALSE(FileHas("secret.db", kMarker));
    EXPECT_FALSE(FileHas("secret.db", "SQLite format 3"));
    EXPECT_FALSE(FileHas("secret.db", "CREATE TABLE"));

    // The rollback journal of an open transaction holds the old pages: protected too.
    ASSERT_EQ(Sql("secret", "BEGIN; UPDATE t SET v = 'changed'", kKey)->Code(), 0);
    ASSERT_TRUE(fs::exists(DbFile("secret.db-journal")));
    ASSERT_GT(fs::file_size(DbFile("secret.db-journal")), 1024u);
    EXPECT_FALSE(FileHas("secret.db-journal", kMarker));
    ASSERT_EQ(Sql("secret", "ROLLBACK", kKey)->Code(), 0);

    Reopen("secret");
    auto values = Column("secret", "SELECT DISTINCT v FROM t", kKey);
    EXPECT_EQ(values, std::vector<std::string>{kMarker});
}

TEST_F(ProtectedDbTest, WriteAheadLogIsProtected) {
    ASSERT_EQ(Sql("walled", "PRAGMA journal_mode=WAL; CREATE TABLE t(v)", kKey)->Code(), 0);
    std::string insert = "BEGIN;";
    for (int i = 0; i < 50; ++i) insert += "INSERT INTO t VALUES('" + std::string(kMarker) + "');";
    insert += "COMMIT;";
    ASSERT_EQ(Sql("walled", insert, kKey)->Code(), 0);
    ASSERT_TRUE(fs::exists(DbFile("walled.db-wal")));
    ASSERT_GT(fs::file_size(DbFile("walled.db-wal")), 1024u);
    EXPECT_FALSE(FileHas("walled.db-wal", kMarker));
    EXPECT_EQ(Column("walled", "SELECT count(*) FROM t", kKey), std::vector<std::string>{"50"});
    Reopen("walled");  // checkpoints into the main file
    EXPECT_FALSE(FileHas("walled.db", kMarker));
    EXPECT_EQ(Column("walled", "SELECT count(*) FROM t", kKey), std::vector<std::string>{"50"});
}

TEST_F(ProtectedDbTest, AnotherKeyOrNoKeyNeverReadsIt) {
    ASSERT_EQ(Sql("locked", "CREATE TABLE t(v); INSERT INTO t VALUES('" + std::string(kMarker) + "')", kKey)->Code(), 0);
    const std::string attempts[] = {"ключ сторінкИ", "x", ""};
    for (const auto& key : attempts) {
        Reopen("locked");
        auto a = Sql("locked", "SELECT v FROM t", key);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Code(), SQLITE_NOTADB) << "key '" << key << "'";
        EXPECT_EQ(a->At("Return/Message"), "file is not a database");
    }
    // A key shaped the same way (cut to 32 characters) opens it.
    Reopen("locked");
    ASSERT_EQ(Sql("long", "CREATE TABLE t(v)", std::string(32, 'a') + "tail one")->Code(), 0);
    Reopen("long", std::string(32, 'a') + "tail one");
    EXPECT_EQ(Sql("long", "SELECT * FROM t", std::string(32, 'a') + "tail two")->Code(), 0);
    // The first key still works.
    EXPECT_EQ(Column("locked", "SELECT v FROM t", kKey), std::vector<std::string>{kMarker});
}

// An open protected database serves only requests that bring its key: any
// page could otherwise read what another page keeps there.
TEST_F(ProtectedDbTest, AnOpenProtectedDatabaseServesOnlyItsKey) {
    ASSERT_EQ(Sql("vault", "CREATE TABLE t(v); INSERT INTO t VALUES('" + std::string(kMarker) + "')", kKey)->Code(), 0);
    const std::pair<const char*, std::string> strangers[] = {
        {"no key", ""}, {"another key", "ключ чужої сторінки"}, {"the key but one letter", "ключ сторінкИ"},
        {"the key with a blank more", kKey + " x"}};
    for (const auto& [name, key] : strangers) {
        SCOPED_TRACE(name);
        auto a = Sql("vault", "SELECT v FROM t", key);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Code(), SQLITE_CANTOPEN);
        EXPECT_EQ(a->At("Return/Message"), "database not opened");
        EXPECT_EQ(a->Find("Data/Result"), nullptr);
    }
    // The refusals leave the owner's connection open and working; a key
    // shaped the same way (blanks up to 32 characters) is the same key.
    EXPECT_EQ(Column("vault", "SELECT v FROM t", kKey), std::vector<std::string>{kMarker});
    EXPECT_EQ(Column("vault", "SELECT v FROM t", kKey + " "), std::vector<std::string>{kMarker});
    // An unprotected database serves every request, whatever it carries.
    ASSERT_EQ(Sql("open", "CREATE TABLE t(v)")->Code(), 0);
    EXPECT_EQ(Sql("open", "SELECT * FROM t", "any key")->Code(), 0);
}

TEST_F(ProtectedDbTest, WithoutTheProviderNothingIsWrittenInTheClear) {
    zk::provider::UnloadProvider();
    auto a = Sql("nocipher", "CREATE TABLE t(v)", kKey);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Code(), 2);
    EXPECT_EQ(a->At("Return/Message"), "database not opened");
    EXPECT_FALSE(fs::exists(DbFile("nocipher.db")));
    LoadStandIn();
}

}  // namespace
