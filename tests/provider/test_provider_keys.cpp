// The provider's key file operations on generated key files, with their
// results checked by the openssl command line where it can read them.
#include <cstring>

#include <openssl/pem.h>

#include "../unit/DiscoveryFixture.h"
#include "ProviderBytes.h"
#include "base/KeyCheckBudget.h"
#include "platform/CodePage.h"

namespace {

using zk::provider::Call;
using zk::provider::CallSlot;
using zk::provider::Exports;
using namespace zktest;  // fixtures, shell helpers and the byte helpers of ProviderBytes.h


class KeyOpsTest : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        signId = pki.User("sign", "ca", "--ku 0xC0");
        agreeId = pki.User("agree", "ca", "--ku 0x08 --key rsa");
        otherId = pki.User("other", "ca");
        pki.KeyFile(pki.path("two.pfx"), "p12", kPassUtf8, "sign", "agree");
        pki.KeyFile(pki.path("one.pfx"), "p12", kPassUtf8, "sign");
        pki.KeyFile(pki.path("empty.pfx"), "p12", "", "sign");
        pki.KeyFile(pki.path("sign.dat"), "p8der", kPassUtf8, "sign");
        pki.KeyFile(pki.path("agree.key"), "p8pem", kPassUtf8, "agree");
    }
    Bytes File(const std::string& name) { return zktest::ReadFile(pki.path(name)); }
    int Ids(const Bytes& key, const std::string& pass, std::string& id1, std::string& id2) {
        char a[ZK_ID_TEXT_SIZE] = "x", b[ZK_ID_TEXT_SIZE] = "x";
        int rc = Call<&Exports::ZKLCTX_GetSubjectKeyIdentifier>(U(key), L(key), pass.c_str(), a, b);
        id1 = a;
        id2 = b;
        return rc;
    }
    // Re-encrypts through the two-call pattern.
    int Change(const Bytes& key, const std::string& oldPass, const std::string& newPass, Bytes& out) {
        uint32_t len = 0;
        int rc = Call<&Exports::ZKLCTX_ChangeKeyPassword>(oldPass.c_str(), U(key), L(key), newPass.c_str(), nullptr,
                                                          &len);
        if (rc != 0) return rc;
        out.assign(len, '\0');
        rc = Call<&Exports::ZKLCTX_ChangeKeyPassword>(oldPass.c_str(), U(key), L(key), newPass.c_str(),
                                                      reinterpret_cast<uint8_t*>(out.data()), &len);
        out.resize(len);
        return rc;
    }
    std::string Save(const std::string& name, const Bytes& bytes) {
        std::string path = dir.file(name);
        zktest::WriteFile(path, bytes);
        return path;
    }

    static constexpr const char* kPassUtf8 = "пароль 1";
    const std::string pass = zk::Utf8ToCp1251(kPassUtf8);
    std::string signId, agreeId, otherId;
};

TEST_F(KeyOpsTest, IdentifiersOfEveryKeyFileKind) {
    struct Case {
        const char* file;
        std::string pass, id1, id2;
    };
    const Case cases[] = {
        {"two.pfx", pass, signId, agreeId},
        {"one.pfx", pass, signId, ""},
        {"empty.pfx", "", signId, ""},
        {"sign.dat", pass, signId, ""},
        {"agree.key", pass, agreeId, ""},
    };
    for (const Case& c : cases) {
        std::string id1, id2;
        EXPECT_EQ(Ids(File(c.file), c.pass, id1, id2), 0) << c.file;
        EXPECT_EQ(id1, c.id1) << c.file;
        EXPECT_EQ(id2, c.id2) << c.file;
    }
}

TEST_F(KeyOpsTest, WrongPasswordDamagedFileAndOtherKeyHaveDistinctCodes) {
    Bytes sign = zktest::ReadFile(pki.path("sign.cer"));
    Bytes other = zktest::ReadFile(pki.path("other.cer"));
    Bytes two = File("two.pfx");
    struct Case {
        const char* name;
        Bytes key, cert;
        std::string pass;
        int code;
    };
    const Case cases[] = {
        {"PKCS#12 opens and pairs", two, sign, pass, 0},
        {"PKCS#12 of another certificate", two, other, pass, 6},
        {"PKCS#12 wrong password", two, sign, "wrong", 8},
        {"PKCS#12 truncated", two.substr(0, two.size() / 2), sign, pass, 7},
        {"PKCS#8 DER pairs", File("sign.dat"), sign, pass, 0},
        {"PKCS#8 DER wrong password", File("sign.dat"), sign, "", 8},
        {"PKCS#8 PEM of another certificate", File("agree.key"), sign, pass, 6},
        {"PEM with a garbled body", std::string("-----BEGIN ") + PEM_STRING_PKCS8 + "-----\n!!!!\n-----END " + PEM_STRING_PKCS8 + "-----\n",
         sign, pass, 7},
        {"not a key file", "just text", sign, pass, 7},
        {"a certificate is no key file", sign, sign, pass, 7},
        {"empty", "", sign, pass, 7},
        {"empty password of a PKCS#12 made with one", File("empty.pfx"), sign, "", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call<&Exports::ZKLCTX_CheckKeyPair>(U(c.cert), L(c.cert), U(c.key), L(c.key), c.pass.c_str()), c.code)
            << c.name;
        // Slot 19 makes the same check for a crypto library of the table.
        EXPECT_EQ(CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(0, U(c.key), ZKKeyLen{L(c.key)}, U(c.cert), L(c.cert),
                                                     c.pass.c_str()),
                  c.code)
            << c.name;
        std::string id1, id2;
        if (c.code != 6) {
            EXPECT_EQ(Ids(c.key, c.pass, id1, id2), c.code) << c.name;
        }
    }
    EXPECT_EQ(CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(99, U(two), ZKKeyLen{L(two)}, U(sign), L(sign), pass.c_str()), 2)
        << "an unknown crypto library";
}

TEST_F(KeyOpsTest, ChangeKeyPasswordKeepsTheKindAndUsesPbes2) {
    struct Case {
        const char* file;
        std::string opensslRead;  // reads the new file with the new password
        const char* marker;       // what shows the file's kind
    };
    const Case cases[] = {
        {"two.pfx", "openssl pkcs12 -info -noout -passin pass:new -in", "PBES2, PBKDF2, AES-256-CBC"},
        {"sign.dat", "openssl asn1parse -inform DER -in", "hmacWithSHA256"},
        {"agree.key", "openssl asn1parse -in", "aes-256-cbc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Bytes changed;
        ASSERT_EQ(Change(File(c.file), pass, "new", changed), 0);
        std::string path = Save(std::string("changed-") + c.file, changed);
        std::string shown;
        EXPECT_EQ(RunCommand(c.opensslRead + " " + ShellQuote(path) + " 2>&1", &shown), 0);
        EXPECT_NE(shown.find(c.marker), std::string::npos) << shown;
        EXPECT_EQ(changed.rfind(std::string("-----BEGIN ") + PEM_STRING_PKCS8, 0) == 0, std::string(c.file) == "agree.key");

        std::string before1, before2, after1, after2;
        ASSERT_EQ(Ids(File(c.file), pass, before1, before2), 0);
        EXPECT_EQ(Ids(changed, "new", after1, after2), 0);
        EXPECT_EQ(after1, before1);
        EXPECT_EQ(after2, before2);
        EXPECT_EQ(Ids(changed, pass, after1, after2), 8) << "the old password no longer opens it";
    }
    // The openssl command line opens the re-encrypted PKCS#8 key with the new password.
    Bytes changed;
    ASSERT_EQ(Change(File("sign.dat"), pass, "new", changed), 0);
    EXPECT_EQ(RunCommand("openssl pkey -inform DER -passin pass:new -in " + ShellQuote(Save("n.der", changed))), 0);

    Bytes unused;
    EXPECT_EQ(Change(File("two.pfx"), "wrong", "new", unused), 8);
    uint32_t small = 10;
    uint8_t buffer[10];
    Bytes two = File("two.pfx");
    EXPECT_NE(Call<&Exports::ZKLCTX_ChangeKeyPassword>(pass.c_str(), U(two), L(two), "new", buffer, &small), 0)
        << "a short buffer gets nothing";
    // Slot 43 does the same for a crypto library of the table.
    uint32_t len = 0;
    EXPECT_EQ(CallSlot<ZKLD_SLOT_CHANGE_KEY_PASSWORD>(1, U(two), L(two), pass.c_str(), "new", nullptr, &len), 0);
    EXPECT_GT(len, 0u);
}

// The provider's derivations ask the host's give-up check as they run: the
// count of questions shows whether a call derived keys at all.
struct Asked {
    static inline int count = 0;
    static int Check() { return ++count, 0; }
};

// A sizing call of a password change (how the key listing checks a password)
// leaves what it opened to the next opening of the same bytes with the same
// password, and to no other.
TEST_F(KeyOpsTest, ASizingCallOpensTheFileForTheCallThatFollows) {
    const Bytes two = File("two.pfx"), one = File("one.pfx");
    std::string want1, want2, id1, id2;
    ASSERT_EQ(Ids(two, pass, want1, want2), 0);
    auto sizing = [&](const Bytes& key, const std::string& password) {
        uint32_t len = 0;
        return Call<&Exports::ZKLCTX_ChangeKeyPassword>(password.c_str(), U(key), L(key), password.c_str(), nullptr,
                                                        &len);
    };
    Call<&Exports::ZKLSVC_SetGiveUpCheck>(&Asked::Check);
    struct Case {
        const char* name;
        const Bytes& next;
        std::string password;
        int code;
        bool derives;
    };
    const Case cases[] = {
        {"the same file and password: no derivation again", two, pass, 0, false},
        {"another password is tried for itself", two, "wrong", 8, true},
        {"another file is opened for itself", one, pass, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sizing(two, pass), 0);
        Asked::count = 0;
        EXPECT_EQ(Ids(c.next, c.password, id1, id2), c.code);
        EXPECT_EQ(Asked::count > 0, c.derives);
        if (&c.next == &two && c.code == 0) {
            EXPECT_EQ(id1, want1);
            EXPECT_EQ(id2, want2);
        }
        Asked::count = 0;
        EXPECT_EQ(Ids(two, pass, id1, id2), 0);
        EXPECT_GT(Asked::count, 0) << "what was kept served one call";
    }
    // A wrong password keeps nothing.
    EXPECT_EQ(sizing(two, "wrong"), 8);
    Asked::count = 0;
    EXPECT_EQ(Ids(two, "wrong", id1, id2), 8);
    EXPECT_GT(Asked::count, 0);
    Call<&Exports::ZKLSVC_SetGiveUpCheck>(&zk::ProviderGiveUpCheck);
}

TEST_F(KeyOpsTest, AcquireKeySplitsAFileIntoItsKeys) {
    Bytes two = File("two.pfx");
    std::vector<uint8_t> k1(ZK_KEY_BUFFER_SIZE), k2(ZK_KEY_BUFFER_SIZE);
    uint32_t l1 = ZK_KEY_BUFFER_SIZE, l2 = ZK_KEY_BUFFER_SIZE;
    char id1[ZK_ID_TEXT_SIZE], id2[ZK_ID_TEXT_SIZE];
    ASSERT_EQ(Call<&Exports::ZKLSVC_AcquireKey>(U(two), L(two), pass.c_str(), k1.data(), &l1, k2.data(), &l2, id1, id2),
              0);
    EXPECT_EQ(std::string(id1), signId);
    EXPECT_EQ(std::string(id2), agreeId);
    // Each part is an encrypted PKCS#8 key under the same password, whose
    // public key is that of its certificate.
    const std::pair<Bytes, std::string> parts[] = {{Bytes(k1.begin(), k1.begin() + l1), "sign"},
                                                  {Bytes(k2.begin(), k2.begin() + l2), "agree"}};
    for (const auto& [bytes, user] : parts) {
        std::string keyPub, certPub;
        EXPECT_EQ(RunCommand("openssl pkey -inform DER -pubout -passin " + ShellQuote(std::string("pass:") + kPassUtf8) +
                                 " -in " + ShellQuote(Save(user + ".part", bytes)),
                             &keyPub),
                  0);
        EXPECT_EQ(RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(pki.path(user + ".pem")), &certPub), 0);
        EXPECT_EQ(keyPub, certPub) << user;
        EXPECT_EQ(Call<&Exports::ZKLCTX_CheckKeyPair>(U(zktest::ReadFile(pki.path(user + ".cer"))),
                                                      L(zktest::ReadFile(pki.path(user + ".cer"))), U(bytes), L(bytes),
                                                      pass.c_str()),
                  0);
    }
    // Identifiers only, as the key store listing asks for them.
    Bytes one = File("one.pfx");
    std::fill(std::begin(id2), std::end(id2), 'x');
    EXPECT_EQ(Call<&Exports::ZKLSVC_AcquireKey>(U(one), L(one), pass.c_str(), nullptr, nullptr, nullptr, nullptr, id1,
                                                id2),
              0);
    EXPECT_EQ(std::string(id1), signId);
    EXPECT_EQ(std::string(id2), "");
    EXPECT_EQ(Call<&Exports::ZKLSVC_AcquireKey>(U(one), L(one), "bad", nullptr, nullptr, nullptr, nullptr, id1, id2), 8);
}

TEST_F(KeyOpsTest, RandomBlocks) {
    uint8_t a[32] = {}, b[32] = {};
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetRandomBlock>(a, 32u), 0);
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetRandomBlock>(b, 32u), 0);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(Call<&Exports::ZKLCTX_GetRandomBlock>(nullptr, 0u), 0);
    EXPECT_NE(Call<&Exports::ZKLCTX_GetRandomBlock>(nullptr, 16u), 0);
}

}  // namespace
