// The key file list and the key search over generated certificates and key
// files: stage order, detail values, the password cache in the certificate
// records, and the key list with its identifiers.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "DiscoveryFixture.h"
#include "base/RequestContext.h"
#include "discovery/keys/SKListFunc.h"
#include "platform/CodePage.h"

namespace {

namespace fs = std::filesystem;

class KeySearchTest : public zktest::DiscoveryFixture {
protected:
    void SetUp() override {
        DiscoveryFixture::SetUp();
        pki.Ca("ca");
        pki.User("ivanov", "ca", "--drfo 1111111111");
        pki.User("petrenko", "ca", "--drfo 2222222222 --ku 0x08");
        pki.User("other", "ca", "--drfo 3333333333");
        pki.KeyFile(pki.path("ivanov.p12"), "p12", "1234", "ivanov");
        pki.KeyFile(pki.path("ivanov-empty.p12"), "p12", "", "ivanov");
        pki.KeyFile(pki.path("other.p12"), "p12", "1234", "other");
        pki.KeyFile(pki.path("other-4321.p12"), "p12", "4321", "other");
        pki.KeyFile(pki.path("both.p12"), "p12", "1234", "ivanov", "petrenko");
        fs::copy_file(pki.path("ivanov.cer"), certPath);
    }
    // Places a generated file, creating its folder.
    std::string Put(const std::string& from, const std::string& to) {
        fs::create_directories(fs::path(to).parent_path());
        fs::copy_file(pki.path(from), to, fs::copy_options::overwrite_existing);
        return to;
    }
    void SetKeyPath(const std::string& value) {
        zktest::WriteFile(dir.file("Cert/Params.ini"), "[common]\nKeyPath=" + value + "\n");
    }
    zk::KeySearchResult Search(const std::string& password, bool preserve = false, bool required = false,
                               bool direct = false) {
        zk::CertList list = List();
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& r) { return r.path == certPath; });
        EXPECT_NE(it, list.end());
        cert = zktest::ReadFile(certPath);
        zk::KeySearchInput in;
        in.certPath = certPath;
        in.cert = reinterpret_cast<const uint8_t*>(cert.data());
        in.certLen = cert.size();
        in.password = password;
        in.preserve = preserve;
        in.libIndex = it == list.end() ? -1 : it->libIndex;
        in.passwordRequired = required;
        in.directPairCheck = direct;
        return zk::FindCertKey(in);
    }
    // The key search fields of the process list's record of the certificate.
    std::pair<std::string, std::string> Cached() {
        std::pair<std::string, std::string> cached;
        zk::WithProcessCertList([&](zk::CertList& list, bool&) {
            for (const auto& r : list)
                if (r.path == certPath) cached = {r.keyPath, r.keptPassword.str()};
        });
        return cached;
    }

    const std::string certPath = dir.file("Cert/ivanov.cer");
    std::string cert;
};

TEST_F(KeySearchTest, OwnBaseNameFirstThenOtherFilesThenKeyPathThenRoots) {
    // Two files with the right key: the one named like the certificate wins.
    Put("ivanov.p12", dir.file("Cert/aaa.dat"));
    std::string own = Put("ivanov.p12", dir.file("Cert/IVANOV.KEY"));
    auto r = Search("1234");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.keyPath, own);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.detail, zk::kDetailOpened);

    // Other key files of the folder come next.
    fs::remove(own);
    zk::CertListClear();
    EXPECT_EQ(Search("1234").keyPath, dir.file("Cert/aaa.dat"));

    // Then the KeyPath folder (blanks and a trailing backslash removed),
    // named like the certificate first.
    fs::remove(dir.file("Cert/aaa.dat"));
    Put("ivanov.p12", dir.file("keys/zzz.pfx"));
    std::string inKeyPath = Put("ivanov.p12", dir.file("keys/ivanov.sk"));
    SetKeyPath("  " + dir.file("keys") + "\\  ");
    EXPECT_EQ(zk::KeyPath(), dir.file("keys"));
    zk::CertListClear();
    EXPECT_EQ(Search("1234").keyPath, inKeyPath);

    // Nothing near the certificate: the roots, down to two levels.
    SetKeyPath("");
    fs::remove_all(dir.file("keys"));
    AddUsbDrive(dir.file("usb"));
    std::string onDrive = Put("ivanov.p12", dir.file("usb/one/two/key.zs2"));
    Put("ivanov.p12", dir.file("usb/one/two/three/deeper.zs2"));
    zk::CertListClear();
    r = Search("1234");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.keyPath, onDrive);
    EXPECT_EQ(r.detail, zk::kDetailOpened);
}

TEST_F(KeySearchTest, DetailValues) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // generated file -> place
        std::string password;
        bool required, direct;
        int code, detail;
        bool opened;
    };
    const Case cases[] = {
        {"key found and opened", {{"ivanov.p12", "Cert/ivanov.pfx"}}, "1234", false, false, 0, 0, true},
        {"direct pair check", {{"ivanov.p12", "Cert/ivanov.pfx"}}, "1234", true, true, 0, 0, true},
        {"wrong password", {{"ivanov.p12", "Cert/ivanov.pfx"}}, "4321", false, false, 8, 2, false},
        {"key of another certificate", {{"other.p12", "Cert/ivanov.pfx"}}, "1234", false, false, 6, 3, false},
        {"other key first, then the wrong password",
         {{"other-4321.p12", "Cert/ivanov.pfx"}, {"ivanov.p12", "Cert/x.key"}}, "4321", false, false, 8, 3, false},
        {"no key file: the roots stage has no detail", {}, "1234", false, false, 53, -1, false},
        {"key of another certificate in the roots", {{"other.p12", "usb/k.dat"}}, "1234", false, false, 6, 3, false},
        // A key that opens without its password counts as found, not opened.
        {"empty password, not required", {{"ivanov-empty.p12", "Cert/ivanov.pfx"}}, "", false, false, 0, 0, false},
        {"empty password, required", {{"ivanov-empty.p12", "Cert/ivanov.pfx"}}, "", true, false, 8, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir.file("usb"));
        for (const auto& e : fs::directory_iterator(dir.file("Cert")))
            if (e.path() != certPath) fs::remove_all(e.path());
        AddUsbDrive(dir.file("usb"));
        for (const auto& [from, to] : c.files) Put(from, dir.file(to));
        zk::CertListClear();
        auto r = Search(c.password, false, c.required, c.direct);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.detail, c.detail);
        EXPECT_EQ(r.opened, c.opened);
    }
}

TEST_F(KeySearchTest, PasswordCacheIsKeptAndForgottenOnRebuild) {
    std::string key = Put("ivanov.p12", dir.file("Cert/ivanov.pfx"));
    auto r = Search("1234", true);
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(Cached(), std::make_pair(key, std::string("1234")));

    // The kept password opens the key when the page sends none.
    r = Search("", true);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(Search("", false).code, 8) << "without Preserve the cache is not used";
    EXPECT_EQ(Search("1234", false).code, 0);
    EXPECT_EQ(Cached().second, "") << "a search without Preserve clears the kept password";
    EXPECT_EQ(Search("", true).code, 8);

    ASSERT_EQ(Search("1234", true).code, 0);
    zk::CertListClear();
    r = Search("", true);
    EXPECT_EQ(r.code, 8) << "a rebuilt list forgets every kept password";
    EXPECT_EQ(r.detail, zk::kDetailWrongPassword);
    EXPECT_EQ(Cached(), std::make_pair(std::string(), std::string()));
}

// A kept password serves only the page origin that kept it; requests of
// other origins neither use nor clear it.
TEST_F(KeySearchTest, KeptPasswordServesOnlyItsOrigin) {
    Put("ivanov.p12", dir.file("Cert/ivanov.pfx"));
    const zk::RequestContext bank{"https://bank.example", nullptr}, evil{"https://evil.example", nullptr},
        none{"", nullptr};
    auto as = [&](const zk::RequestContext& page, const std::string& password, bool preserve) {
        zk::ScopedRequest current(page);
        return Search(password, preserve, true);
    };
    ASSERT_EQ(as(bank, "1234", true).code, 0);
    for (const auto* stranger : {&evil, &none}) {
        SCOPED_TRACE(stranger->origin);
        auto r = as(*stranger, "", true);
        EXPECT_EQ(r.code, 8);
        EXPECT_EQ(r.detail, zk::kDetailWrongPassword);
        EXPECT_EQ(r.password.str(), "");
    }
    // Another origin that knows the password uses the key without keeping or
    // dropping the bank's password.
    EXPECT_EQ(as(evil, "1234", false).code, 0);
    EXPECT_EQ(Cached().second, "1234");
    auto r = as(bank, "", true);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.password.str(), "1234");
    // The bank's own request without Preserve clears it, as before.
    EXPECT_EQ(as(bank, "1234", false).code, 0);
    EXPECT_EQ(Cached().second, "");
}

TEST_F(KeySearchTest, RemovedCachedKeyInvalidatesTheList) {
    std::string key = Put("ivanov.p12", dir.file("Cert/ivanov.pfx"));
    ASSERT_EQ(Search("1234", true).code, 0);
    fs::rename(key, dir.file("Cert/moved.dat"));
    zk::CertList list;
    zk::CertListGet(list);  // still built: the cached path is checked
    cert = zktest::ReadFile(certPath);
    zk::KeySearchInput in;
    in.certPath = certPath;
    in.cert = reinterpret_cast<const uint8_t*>(cert.data());
    in.certLen = cert.size();
    in.password = "1234";
    in.libIndex = list.begin()->libIndex;
    auto r = zk::FindCertKey(in);
    EXPECT_EQ(r.code, 53);
    bool built = true;
    zk::WithProcessCertList([&](zk::CertList&, bool& b) { built = b; });
    EXPECT_FALSE(built);
    r = Search("1234");
    EXPECT_EQ(r.code, 0) << "the next search looks afresh";
    EXPECT_EQ(r.keyPath, dir.file("Cert/moved.dat"));
}

// The key opened with a kept password stays open beside it, serves the
// requests of its origin that use that password without another opening, and
// goes (closed in the provider) by every way the password is forgotten.
TEST_F(KeySearchTest, KeptKeyLivesExactlyAsLongAsItsPassword) {
    const std::string keyFile = Put("ivanov.p12", dir.file("Cert/ivanov.pfx"));
    const zk::RequestContext bank{"https://bank.example", nullptr}, evil{"https://evil.example", nullptr};
    auto as = [&](const zk::RequestContext& page, const std::string& password, bool preserve) {
        zk::ScopedRequest current(page);
        return Search(password, preserve, true);
    };
    auto keptKey = [&] {
        zk::provider::OpenedKeyPtr key;
        zk::WithProcessCertList([&](zk::CertList& list, bool&) {
            for (const auto& r : list)
                if (r.path == certPath) key = r.keptKey.key;
        });
        return key;
    };
    // Keeps the password and its key; returns the key as a weak reference.
    auto keep = [&] {
        auto r = as(bank, "1234", true);
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.key);
        EXPECT_EQ(keptKey(), r.key);
        return std::weak_ptr<const zk::provider::OpenedKey>(r.key);
    };

    std::weak_ptr<const zk::provider::OpenedKey> kept = keep();
    for (const char* password : {"", "1234"}) {
        auto r = as(bank, password, true);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.key, kept.lock()) << "served by the kept key, not opened again: '" << password << "'";
    }
    EXPECT_EQ(as(bank, "wrong", true).code, 8);
    EXPECT_EQ(as(evil, "", true).code, 8);
    auto r = as(evil, "1234", false);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.key, kept.lock()) << "another origin opens its own";
    r = {};
    EXPECT_FALSE(kept.expired()) << "neither a wrong password nor another origin forgets it";

    // A changed key file is read and opened again (the old key goes).
    Put("ivanov.p12", keyFile + ".new");
    fs::rename(keyFile + ".new", keyFile);
    r = as(bank, "", true);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(kept.expired());
    EXPECT_EQ(keptKey(), r.key);
    r = {};

    const std::pair<const char*, std::function<void()>> forgetting[] = {
        {"a request of its origin without Preserve", [&] { EXPECT_EQ(as(bank, "1234", false).code, 0); }},
        {"the list invalidated (a listing rebuilds it, CLEAN, shutdown)", [] { zk::CertListClear(); }},
        {"an unreadable key file", [&] {
             fs::rename(keyFile, keyFile + ".gone");
             EXPECT_EQ(as(bank, "", true).code, 53);
             fs::rename(keyFile + ".gone", keyFile);
         }},
    };
    for (const auto& [way, forget] : forgetting) {
        SCOPED_TRACE(way);
        zk::CertListClear();
        kept = keep();
        forget();
        EXPECT_TRUE(kept.expired()) << "the key is closed";
        EXPECT_FALSE(keptKey());
        EXPECT_EQ(as(bank, "", true).code, 8) << "and the password forgotten";
    }
}

TEST_F(KeySearchTest, KeyListHasOneEntryPerKey) {
    std::string both = Put("both.p12", dir.file("Cert/both.pfx"));
    Put("both.p12", dir.file("user/copy.pfx"));                 // a copy adds nothing
    Put("other.p12", dir.file("user/other.key"));
    Put("other-4321.p12", dir.file("user/other-4321.jks"));     // does not open with 1234
    zktest::WriteFile(dir.file("Cert/garbage.dat"), "garbage");
    std::string two = zktest::ReadFile(pki.path("both.p12"));
    zktest::WriteFile(dir.file("Cert/truncated.pfx"), two.substr(0, two.size() / 2));
    ASSERT_EQ(mkfifo(dir.file("Cert/fifo.key").c_str(), 0600), 0);
    std::string inKeyPath = Put("other.p12", dir.file("keys/deep/x/other.ZSK"));
    zk::SetUserCertFolder(dir.file("user"));
    SetKeyPath(dir.file("keys"));

    zk::KeyList keys;
    zk::SKListGet("1234", keys);
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& k : keys) got.emplace_back(k.id, k.path);
    std::string ivanovId = pki.User("ivanov2", "ca", "--key-from " + pki.path("ivanov.key.pem"));
    std::string petrenkoId = pki.User("petrenko2", "ca", "--key-from " + pki.path("petrenko.key.pem"));
    std::string otherId = pki.User("other2", "ca", "--key-from " + pki.path("other.key.pem"));
    std::vector<std::pair<std::string, std::string>> expected = {
        {ivanovId, both}, {petrenkoId, both}, {otherId, dir.file("user/other.key")}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    std::string log = Log();
    EXPECT_NE(log.find("SKListGet, SKListFunc, "), std::string::npos);
    EXPECT_NE(log.find("- Before insert 2"), std::string::npos);
    EXPECT_NE(log.find("- Duplicated: '" + dir.file("user/copy.pfx") + "'"), std::string::npos);
    EXPECT_NE(log.find("- Duplicated: '" + inKeyPath + "'"), std::string::npos) << "KeyPath is scanned last";
    EXPECT_NE(log.find("- After ChangeKeyPassword, Return: 8"), std::string::npos);
    EXPECT_NE(log.find("- After ChangeKeyPassword, Return: 7"), std::string::npos) << "the damaged files";
    EXPECT_EQ(log.find("fifo.key"), std::string::npos);
    EXPECT_NE(log.find("- Found '3' key(s)"), std::string::npos);
}

}  // namespace
