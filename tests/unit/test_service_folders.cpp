// The service's own folders are never key or certificate folders: which
// paths count as theirs (links and ".." resolved), which folders KEY_FOLDER
// and the folder choice take, and the walks of the searches passing them by.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "base/ServiceFolders.h"
#include "discovery/FolderScan.h"
#include "platform/ModulePath.h"

namespace fs = std::filesystem;

namespace {

class ServiceFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = zk::ModulePath();
        program = dir.file("program");
        zk::SetModulePathForTesting(program + "/ZelkorH");
        for (const char* folder : {"Data/sub", "View", "CertStorage", "Cert/sub", "keys"})
            fs::create_directories(fs::path(program) / folder);
        fs::create_directories(dir.path() / "home" / "keys");
        zktest::WriteFile(program + "/Data/UserData.dat", "planted");
        zktest::WriteFile(program + "/Cert/demo.key", "key");
        zktest::WriteFile(dir.file("home/keys/mine.key"), "key");
        zktest::WriteFile(dir.file("home/notes.txt"), "text");
        fs::create_directory_symlink(program + "/Data", dir.file("home/keys/link-to-data"));
        fs::create_directory_symlink(program + "/Cert", dir.file("home/link-to-cert"));
    }
    void TearDown() override { zk::SetModulePathForTesting(saved); }

    zktest::TempDir dir;
    std::string saved, program;
};

TEST_F(ServiceFoldersTest, WhichFoldersAreTheServicesAndWhichMayHoldKeys) {
    struct Case {
        std::string path;
        bool service, acceptable;
    };
    const std::string home = dir.file("home");
    const Case cases[] = {
        {program, true, false},
        {program + "/", true, false},
        {program + "/Data", true, false},
        {program + "/Data/sub", true, false},
        {program + "/Cert/../Data", true, false},
        {home + "/keys/link-to-data", true, false},
        {home + "/keys/link-to-data/sub", true, false},
        {program + "/View", true, false},
        {program + "/CertStorage", true, false},
        {program + "/TEMP", false, false},  // not made yet: missing
        // The Cert folder beside the executable, and other folders below the
        // program folder, are folders for keys.
        {program + "/Cert", false, true},
        {program + "/Cert/sub", false, true},
        {home + "/link-to-cert", false, true},
        {program + "/keys", false, true},
        {home + "/keys", false, true},
        {program + "/DataX", false, false},  // missing, and no folder of the service's
        {home + "/notes.txt", false, false},
        {"home/keys", false, false},  // relative
        {"", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(zk::IsServiceFolder(c.path), c.service);
        EXPECT_EQ(zk::AcceptableKeyFolder(c.path), c.acceptable);
    }
    // Made later, through a link: still the service's.
    fs::create_directories(fs::path(program) / "TEMP");
    fs::create_directory_symlink(program + "/TEMP", home + "/later");
    EXPECT_TRUE(zk::IsServiceFolder(home + "/later"));
    if (geteuid() != 0) {  // root lists any folder
        fs::create_directories(home + "/locked");
        chmod((home + "/locked").c_str(), 0);
        EXPECT_FALSE(zk::AcceptableKeyFolder(home + "/locked"));
        chmod((home + "/locked").c_str(), 0700);
    }
}

TEST_F(ServiceFoldersTest, WalksAndListingsPassTheServicesFoldersBy) {
    const zk::Extensions keys = {".key", ".dat"};
    auto walk = [&](const std::string& root) {
        std::vector<std::string> found;
        zk::ScanFolder(root, 0, "Test", __FILE__, keys, [&](const std::string& path) {
            found.push_back(fs::path(path).filename().string());
            return true;
        });
        std::sort(found.begin(), found.end());
        return found;
    };
    // A root that a setting written earlier names, a link met on the way,
    // and the program folder above the Cert folder.
    EXPECT_EQ(walk(program + "/Data"), std::vector<std::string>{});
    EXPECT_EQ(walk(dir.file("home")), (std::vector<std::string>{"demo.key", "mine.key"}));
    EXPECT_EQ(walk(program), std::vector<std::string>{});
    EXPECT_EQ(walk(program + "/Cert"), std::vector<std::string>{"demo.key"});
    EXPECT_FALSE(zk::ListFiles(program + "/Data", keys));
    EXPECT_EQ(zk::ListFiles(dir.file("home/keys"), keys)->size(), 1u);
}

}  // namespace
