// The update's pieces on their own: the digest list and the names it may
// carry, the signature of the list (made by the openssl command line), and
// the installation of staged files at start-up in a real program folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "DiscoveryFixture.h"
#include "TestUtil.h"
#include "platform/Files.h"
#include "platform/ModulePath.h"
#include "update/DigestList.h"
#include "update/ExecSignature.h"
#include "update/StagedUpdate.h"

using namespace zk;
using namespace zk::update;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMd5A = "0cc175b9c0f1b6a831c399e269772661";  // "a"
constexpr const char* kMd5B = "92eb5ffee6ae2fec3ad71c777531578f";  // "b"

TEST(DigestList, ParsesEntriesAndRefusesWholeListsWithABadEntry) {
    DigestList list;
    // Names may hold spaces; blanks around values and names go; CR LF or LF;
    // upper-case values are kept in lower case; a name listed twice keeps its last value.
    ASSERT_TRUE(ParseDigestList(std::string(kMd5A) + "  ZelkorH\r\n\t" + kMd5B + " my file.txt \r\n\r\n" +
                                    "0CC175B9C0F1B6A831C399E269772661 libZelkorD.so\n" + kMd5B + " ZelkorH",
                                list));
    EXPECT_EQ(list, (DigestList{{"ZelkorH", kMd5B}, {"libZelkorD.so", kMd5A}, {"my file.txt", kMd5B}}));
    EXPECT_TRUE(ParseDigestList("", list));
    EXPECT_TRUE(list.empty());

    const std::string md5 = kMd5A;
    struct Case {
        std::string text;
        const char* why;
    } refused[] = {
        {md5, "value without a name"},
        {md5 + "   \r\n", "name empty after cutting"},
        {"0cc175b9c0f1b6a831c399e26977266 short.txt", "31 digits"},
        {"0cc175b9c0f1b6a831c399e26977266z bad.txt", "not hexadecimal"},
        {md5 + " ../ZelkorH", "parent folder"},
        {md5 + " sub/../../x", "parent folder inside"},
        {md5 + " a..b", "two dots anywhere"},
        {md5 + " /etc/passwd", "absolute"},
        {md5 + " Cert/x.cer", "another folder"},
        {md5 + " ..\\ZelkorH", "backslash"},
        {md5 + " .", "the folder itself"},
        {md5 + " name\x01with control", "control character"},
        {md5 + " name\x7f", "DEL"},
        {md5 + " ZelkorH.~", "staging name"},
        {md5 + " libZelkorD.so.BAK", "set-aside name"},
        {md5 + " x.~tmp12_34", "temporary name"},
        {md5 + " " + std::string(256, 'n'), "name too long"},
        {md5 + " a\r\n" + std::string("\0", 1) + "binary", "NUL byte"},
    };
    for (const Case& c : refused) {
        std::string why;
        EXPECT_FALSE(ParseDigestList(c.text, list, &why)) << c.why;
        EXPECT_FALSE(why.empty()) << c.why;
    }
}

TEST(DigestList, BoundsTheNumberOfEntries) {
    std::string text;
    for (size_t i = 0; i <= kMaxListEntries; ++i) text += std::string(kMd5A) + " f" + std::to_string(i) + "\n";
    DigestList list;
    std::string why;
    EXPECT_FALSE(ParseDigestList(text, list, &why));
    EXPECT_NE(why.find("entries"), std::string::npos);
}

TEST(DigestList, DigestsAddressesAndComparison) {
    const std::string a = "a";
    EXPECT_EQ(Md5Hex(reinterpret_cast<const uint8_t*>(a.data()), a.size()), kMd5A);
    EXPECT_TRUE(SameDigest(kMd5A, "0CC175B9C0F1B6A831C399E269772661"));
    EXPECT_FALSE(SameDigest(kMd5A, kMd5B));
    EXPECT_FALSE(SameDigest(kMd5A, ""));
    EXPECT_EQ(PercentEncode("my file+ä~_.-Z9.txt"), "my%20file%2b%c3%a4~_.-Z9.txt");
    EXPECT_EQ(FileAddress("https://h:8443/upd", "a b"), "https://h:8443/upd/a%20b");
    EXPECT_EQ(FileAddress("https://h/upd/", "digest.txt"), "https://h/upd/digest.txt");
}

// Program files are digested in pieces: the digest must be the one of the
// whole file across piece boundaries, and a file that cannot be read whole
// has none.
TEST(DigestList, FileDigestsReadInPieces) {
    zktest::TempDir dir;
    std::vector<uint8_t> bytes((64 << 10) * 3 + 17);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    const std::string path = dir.file("program.bin");
    ASSERT_TRUE(zk::files::WriteAtomically(path, bytes.data(), bytes.size()));
    uint64_t read = 0;
    EXPECT_EQ(FileMd5Hex(path, bytes.size(), &read), Md5Hex(bytes.data(), bytes.size()));
    EXPECT_EQ(read, bytes.size());
    EXPECT_EQ(FileMd5Hex(path, bytes.size() - 1), std::nullopt);  // over the bound
    EXPECT_EQ(FileMd5Hex(dir.file("missing"), UINT64_MAX), std::nullopt);
    EXPECT_EQ(FileMd5Hex(dir.str(), UINT64_MAX), std::nullopt);  // a folder
}

// Signatures made by the openssl command line over a list, checked against
// the configured signer's certificate only.
class ListSignature : public ::testing::Test {
protected:
    void SetUp() override {
        std::string cmd = "cd " + zktest::ShellQuote(dir.str()) + " && ";
        for (const char* who : {"signer", "other"})
            cmd += std::string("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 ") +
                   "-subj /CN=" + who + " -keyout " + who + ".key -out " + who + ".pem 2>/dev/null && ";
        cmd += "printf '" + std::string(kMd5A) + " ZelkorH\\r\\n' > digest.txt && "
               "openssl cms -sign -binary -outform DER -in digest.txt -signer signer.pem -inkey signer.key -out good.sig && "
               "openssl cms -sign -binary -outform PEM -in digest.txt -signer signer.pem -inkey signer.key -out good.pem.sig && "
               "openssl cms -sign -binary -outform DER -in digest.txt -signer other.pem -inkey other.key -out other.sig && "
               "openssl cms -sign -binary -outform DER -nodetach -in digest.txt -signer signer.pem -inkey signer.key "
               "-out attached.sig && "
               "openssl cms -sign -binary -outform DER -in digest.txt -signer signer.pem -inkey signer.key "
               "-signer other.pem -inkey other.key -out both.sig";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::vector<uint8_t> Bytes(const std::string& name) {
        const std::string text = zktest::ReadFile(dir.file(name));
        return {text.begin(), text.end()};
    }
    zktest::TempDir dir;
};

TEST_F(ListSignature, OnlyTheConfiguredSignerOverTheExactListPasses) {
    const std::vector<uint8_t> list = Bytes("digest.txt");
    const std::string signer = dir.file("signer.pem");
    EXPECT_TRUE(VerifyDetachedSignature("digest.txt", list, Bytes("good.sig"), signer));
    EXPECT_TRUE(VerifyDetachedSignature("digest.txt", list, Bytes("good.pem.sig"), signer));

    std::vector<uint8_t> changed = list;
    changed[0] = changed[0] == '0' ? '1' : '0';
    struct Case {
        std::vector<uint8_t> content, signature;
        std::string cert;
        const char* what;
    } refused[] = {
        {changed, Bytes("good.sig"), signer, "the list changed after signing"},
        {list, Bytes("other.sig"), signer, "signed by another key"},
        {list, Bytes("both.sig"), signer, "a second, unknown signer"},
        {list, Bytes("attached.sig"), signer, "not detached"},
        {list, {}, signer, "no signature"},
        {list, Bytes("digest.txt"), signer, "not CMS"},
        {list, Bytes("good.sig"), dir.file("missing.pem"), "signer certificate missing"},
    };
    for (const Case& c : refused) EXPECT_FALSE(VerifyDetachedSignature("digest.txt", c.content, c.signature, c.cert)) << c.what;
}

// A program folder with staged files, installed as start-up does it.
class StagedInstall : public ::testing::Test {
protected:
    void SetUp() override {
        saved = ModulePath();
        SetModulePathForTesting(dir.file("ZelkorH"));
        zktest::WriteFile(dir.file("ZelkorH"), "old program");
        chmod(dir.file("ZelkorH").c_str(), 0755);
    }
    void TearDown() override { SetModulePathForTesting(saved); }
    static int Mode(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    }
    zktest::TempDir dir;
    std::string saved;
};

TEST_F(StagedInstall, TemporaryCopyInstallsEverythingThenTheProgramCleansUp) {
    zktest::WriteFile(dir.file("ZelkorH.~"), "new program");
    chmod(dir.file("ZelkorH.~").c_str(), 0700);
    zktest::WriteFile(dir.file("libZelkorD.so"), "old library");
    zktest::WriteFile(dir.file("libZelkorD.so.~"), "new library");
    zktest::WriteFile(dir.file("digest.txt.~"), "new list");
    zktest::WriteFile(dir.file("digest.txt"), "old list");
    zktest::WriteFile(dir.file("notes.txt"), "unrelated");

    // The running program finds its own executable staged: it goes on as the temporary copy.
    bool pending = true;
    ApplyResult first = ApplyStagedUpdate(pending);
    EXPECT_FALSE(pending);
    ASSERT_EQ(first.next, dir.file("ZelkorH.~~~"));
    EXPECT_EQ(zktest::ReadFile(dir.file("ZelkorH.~~~")), "new program");
    EXPECT_EQ(Mode(dir.file("ZelkorH.~~~")) & 0100, 0100);  // executable
    EXPECT_EQ(zktest::ReadFile(dir.file("libZelkorD.so")), "new library");
    EXPECT_EQ(zktest::ReadFile(dir.file("digest.txt")), "new list");

    // The temporary copy installs the executable and hands over to it.
    SetModulePathForTesting(dir.file("ZelkorH.~~~"));
    ApplyResult second = ApplyStagedUpdate(pending);
    ASSERT_EQ(second.next, dir.file("ZelkorH"));
    EXPECT_EQ(zktest::ReadFile(dir.file("ZelkorH")), "new program");
    EXPECT_EQ(Mode(dir.file("ZelkorH")), 0700);  // the staged file's mode: still executable

    // The program finds nothing staged: the copy, the download folder and leftovers go.
    SetModulePathForTesting(dir.file("ZelkorH"));
    fs::create_directories(dir.path() / "Updates");
    zktest::WriteFile(dir.file("Updates/x"), "partial");
    zktest::WriteFile(dir.file("old.dll.bak"), "set aside");
    ApplyResult third = ApplyStagedUpdate(pending);
    EXPECT_FALSE(third.mustEnd());
    EXPECT_FALSE(fs::exists(dir.path() / "ZelkorH.~~~"));
    EXPECT_FALSE(fs::exists(dir.path() / "Updates"));
    EXPECT_FALSE(fs::exists(dir.path() / "old.dll.bak"));
    EXPECT_EQ(zktest::ReadFile(dir.file("notes.txt")), "unrelated");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ZelkorH", "digest.txt", "libZelkorD.so", "notes.txt"}));
}

TEST_F(StagedInstall, NothingStagedGoesOnAndLeftoversAreOnlyStagingNames) {
    bool pending = true;
    EXPECT_FALSE(ApplyStagedUpdate(pending).mustEnd());
    EXPECT_FALSE(pending);
    struct Case {
        const char* name;
        bool leftover;
    } cases[] = {
        {"a.dll.~", true}, {"a.BAK", true},  {"ZelkorH.~~~", false}, {"a.~x.~", false},
        {"a.bak.txt", false}, {".~", false}, {"x.~tmp1_2", false},  {"plain", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsStagingLeftover(c.name), c.leftover) << c.name;
}

}  // namespace
