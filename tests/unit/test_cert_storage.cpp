// The CertStorage folder: rebuilt at start from the program folder's
// certificate files, then fed one copy per certificate the scan finds.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"
#include "discovery/CertStorage.h"
#include "platform/ModulePath.h"

using namespace zk;
namespace fs = std::filesystem;

TEST(CertStorage, PrepareThenStoreCopies) {
    zktest::TempDir dir;
    const std::string saved = ModulePath();
    SetModulePathForTesting(dir.file("ZelkorH"));
    zktest::WriteFile(dir.file("Root.CER"), "root");
    zktest::WriteFile(dir.file("readme.txt"), "text");
    fs::create_directories(dir.path() / "CertStorage" / "old");
    zktest::WriteFile(dir.file("CertStorage/old/x.cer"), "old");
    ASSERT_EQ(PrepareCertStorage(), 0);
    EXPECT_EQ(zktest::ReadFile(dir.file("CertStorage/root.cer")), "root");
    EXPECT_FALSE(fs::exists(dir.path() / "CertStorage" / "old"));
    EXPECT_FALSE(fs::exists(dir.path() / "CertStorage" / "readme.txt"));

    fs::create_directories(dir.path() / "found");
    zktest::WriteFile(dir.file("found/User.Cer"), "user v1");
    StoreCertCopy(dir.file("found/User.Cer"));
    zktest::WriteFile(dir.file("found/User.Cer"), "user v2");
    StoreCertCopy(dir.file("found/User.Cer"));  // replaces the earlier copy
    StoreCertCopy("");                          // nothing
    StoreCertCopy(dir.file("found/missing.cer"));  // ignored
    EXPECT_EQ(zktest::ReadFile(dir.file("CertStorage/user.cer")), "user v2");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "CertStorage"), fs::directory_iterator()), 2);

    // A file where the folder should be: the creation error is returned.
    fs::remove_all(dir.path() / "CertStorage");
    zktest::WriteFile(dir.file("CertStorage"), "not a folder");
    EXPECT_NE(PrepareCertStorage(), 0);
    SetModulePathForTesting(saved);
}
