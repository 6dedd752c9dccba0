// Trust for the local CA: the system store folder (when allowed) and the
// user's NSS database through certutil; either one is enough.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "TestUtil.h"
#include "http/TrustInstall.h"
#include "platform/Process.h"

using namespace zk::http;
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
