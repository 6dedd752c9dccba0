// Trust for the local CA: the system store folder (when allowed) and the
// user's NSS database through certutil; either one is enough.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "TestUtil.h"
#include "host/TrustInstall.h"
#include "platform/Process.h"

using namespace zk::host;
namespace fs = std::filesystem;

TEST(TrustInstall, SystemFolderAndUserDatabase) {
    zktest::TempDir dir;
    fs::create_directories(dir.path() / "bin");
    fs::create_directories(dir.path() / "system");
    fs::create_directories(dir.path() / "home");
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -subj /CN=ZelkorH/OU=CA "
                           "-days 1 -out " + dir.file("bin/ca.pem") + " 2>/dev/null").c_str()), 0);
    TrustOptions options;
    options.programFolder = dir.file("bin");
    options.systemFolder = dir.file("system");
    options.systemUpdate = dir.file("no-update-tool");  // the real one would rebuild the machine's bundle

    // Neither store allowed: the installation fails.
    options.systemStore = false;
    EXPECT_FALSE(InstallLocalTrust(options));

    // The system folder gets a readable copy of the CA.
    options.systemStore = true;
    EXPECT_TRUE(InstallLocalTrust(options));
    // Its name is this installation's own: the fingerprint of the CA file.
    const std::string ca = zktest::ReadFile(dir.file("bin/ca.pem"));
    const std::string name = SystemStoreFileName({reinterpret_cast<const uint8_t*>(ca.data()), ca.size()});
    EXPECT_EQ(name.size(), std::string("ZelkorH-local-ca-0123456789abcdef.crt").size());
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir.path() / "system")) files.push_back(entry.path().filename());
    EXPECT_EQ(files, std::vector<std::string>{name});
    const std::string copy = dir.file("system/" + name);
    EXPECT_EQ(zktest::ReadFile(copy), ca);
    FILE* sum = popen(("sha256sum " + dir.file("bin/ca.pem") + " | cut -c1-16").c_str(), "r");  // as uninstall.sh names it
    char line[64] = {};
    ASSERT_TRUE(sum && fgets(line, sizeof line, sum));
    pclose(sum);
    EXPECT_EQ(name, "ZelkorH-local-ca-" + std::string(line, 16) + ".crt");
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The user's NSS database is made when missing and holds the CA afterwards.
    if (zk::process::FindProgram("certutil").empty()) GTEST_SKIP() << "certutil (libnss3-tools) is not installed";
    options.systemStore = false;
    options.home = dir.file("home");
    EXPECT_TRUE(InstallLocalTrust(options));
    EXPECT_EQ(zk::process::Run({zk::process::FindProgram("certutil"), "-L", "-n", "ca.pem", "-d",
                                "sql:" + dir.file("home/.pki/nssdb")}, 10),
              0);
}

// Firefox profiles wherever Firefox keeps them, found at every run: in the XDG
// configuration folder (current releases), in ~/.mozilla, and wherever
// profiles.ini points, a profile never opened yet included.
TEST(TrustInstall, EveryFirefoxProfile) {
    const std::string certutil = zk::process::FindProgram("certutil");
    if (certutil.empty()) GTEST_SKIP() << "certutil (libnss3-tools) is not installed";
    zktest::TempDir dir;
    fs::create_directories(dir.path() / "bin");
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout /dev/null "
                           "-subj /CN=ZelkorH/OU=CA -days 1 -out " + dir.file("bin/ca.pem") + " 2>/dev/null").c_str()), 0);
    struct Case {
        const char* name;
        std::string configHome;  // "" : $HOME/.config
        std::string root;        // the profiles folder under the home
    };
    for (const Case& c : {Case{"XDG default", "", ".config/mozilla/firefox"},
                          Case{"XDG_CONFIG_HOME", dir.file("xdg"), "../xdg/mozilla/firefox"},
                          Case{"~/.mozilla", "", ".mozilla/firefox"}}) {
        SCOPED_TRACE(c.name);
        const fs::path home = dir.path() / c.name;
        const fs::path root = home / c.root;
        const fs::path opened = root / "ab12.default-esr", fresh = root / "cd34.new", elsewhere = dir.path() / c.name / "far away";
        const fs::path crashes = root / "Crash Reports", missing = root / "ef56.gone";
        for (const auto& folder : {opened, fresh, elsewhere, crashes}) fs::create_directories(folder);
        zktest::WriteFile((opened / "prefs.js").string(), "");
        // The profile manager's list: a profile made and never opened (only
        // its folder), one outside the profiles folder, one whose folder went.
        zktest::WriteFile((root / "profiles.ini").string(),
                          "[Profile1]\nName=new\nIsRelative=1\nPath=cd34.new\n\n[Profile2]\nName=far\nIsRelative=0\nPath=" +
                              elsewhere.string() + "\n\n[Profile3]\nIsRelative=1\nPath=ef56.gone\n\n[General]\nVersion=2\n");

        TrustOptions options;
        options.programFolder = dir.file("bin");
        options.systemStore = false;
        options.home = home.string();
        options.configHome = c.configHome;
        EXPECT_TRUE(InstallLocalTrust(options));
        for (const auto& profile : {opened, fresh, elsewhere}) {
            EXPECT_EQ(zk::process::Run({certutil, "-L", "-n", "ca.pem", "-d", "sql:" + profile.string()}, 10), 0)
                << profile;
        }
        EXPECT_TRUE(fs::is_empty(crashes));  // not a profile: left alone
        EXPECT_FALSE(fs::exists(missing));   // named, gone: not made again
    }
}
