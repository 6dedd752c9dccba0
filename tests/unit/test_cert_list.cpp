// The certificate list over real folders of generated certificates: roots,
// levels, extensions, the duplicate rule, library codes, the lifecycle of the
// process list, and bad files that must be skipped without harm.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "DiscoveryFixture.h"
#include "discovery/CertFilter.h"
#include "platform/CodePage.h"

namespace {

namespace fs = std::filesystem;

class CertListTest : public zktest::DiscoveryFixture {
protected:
    // Copies a generated certificate (DER) to a path, creating its folder.
    std::string Put(const std::string& user, const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(pki.path(user + ".cer"), path, fs::copy_options::overwrite_existing);
        return path;
    }
    static bool Has(const std::vector<std::string>& paths, const std::string& path) {
        return std::find(paths.begin(), paths.end(), path) != paths.end();
    }
};

TEST_F(CertListTest, RootsLevelsAndExtensions) {
    pki.Ca("ca");
    for (const char* u : {"a", "b", "c", "d", "e", "f", "g", "h", "i"})
        pki.User(u, "ca", std::string("--drfo 100000000") + u[0]);  // distinct records
    const std::string cert = dir.file("Cert");
    const std::vector<std::string> found = {
        Put("a", cert + "/a.cer"),
        Put("b", cert + "/one/B.CER"),            // extension in any case
        Put("c", cert + "/one/two/c.crt"),        // two folders below the root
        Put("g", dir.file("user") + "/g.cer"),    // the user certificate folder
        Put("h", dir.file("extra") + "/h.cer"),   // CertPath
        Put("i", dir.file("usb") + "/i.cer"),     // a removable drive
    };
    const std::vector<std::string> notFound = {
        Put("d", cert + "/one/two/three/d.cer"),  // three folders below
        Put("e", cert + "/e.cer.bak"),
        Put("f", cert + "/f.pem"),
    };
    zk::SetUserCertFolder(dir.file("user"));
    zk::HostSettings host;
    host.certPath = dir.file("extra/");
    zk::SetHostSettingsForTesting(host);
    AddUsbDrive(dir.file("usb"));

    std::vector<std::string> paths = Paths(List());
    EXPECT_EQ(paths.size(), found.size());
    for (const auto& p : found) EXPECT_TRUE(Has(paths, p)) << p;
    for (const auto& p : notFound) EXPECT_FALSE(Has(paths, p)) << p;

    std::string log = Log();
    EXPECT_NE(log.find("CertListGet, CertListFunc, "), std::string::npos);
    EXPECT_NE(log.find("- Rebuild\r\n"), std::string::npos);
    EXPECT_NE(log.find("- Root: '" + cert + "', Level: '0'"), std::string::npos);
    EXPECT_NE(log.find("- Root: '" + cert + "/one/two/three', Level: '3'"), std::string::npos);
    EXPECT_NE(log.find("- Found '6' certificate(s)"), std::string::npos);
    // Roots in their order: drives, Cert, the user folder, CertPath.
    size_t usb = log.find("Root: '" + dir.file("usb") + "'"), inCert = log.find("Root: '" + cert + "'"),
           user = log.find("Root: '" + dir.file("user") + "'"), extra = log.find("Root: '" + dir.file("extra") + "'");
    EXPECT_LT(usb, inCert);
    EXPECT_LT(inCert, user);
    EXPECT_LT(user, extra);
}

TEST_F(CertListTest, DuplicatesAndDrfoFromEdrpou) {
    pki.Ca("ca");
    pki.User("org", "ca", "--edrpou 12345678");
    const std::string first = Put("org", dir.file("Cert/org.cer"));
    const std::string second = Put("org", dir.file("user/copy/org-copy.cer"));
    zk::SetUserCertFolder(dir.file("user"));

    zk::CertList list = List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.begin()->path, first) << "the record keeps the path of the first found";
    EXPECT_EQ(list.begin()->DRFO, "12345678");
    EXPECT_EQ(list.begin()->EDRPOU, "12345678");
    EXPECT_NE(Log().find("- Duplicated: '" + second + "'"), std::string::npos);
}

TEST_F(CertListTest, LibraryCodesAndCertStorage) {
    pki.Ca("usc", "--serial UA-33406510");
    pki.Ca("qlb", "--serial UA-36865753");
    pki.Ca("other", "--serial UA-99999999");
    pki.User("u1", "usc", "--drfo 1");
    pki.User("u2", "qlb", "--drfo 2");
    pki.User("u3", "other", "--drfo 3");
    Put("u1", dir.file("Cert/U1.cer"));
    Put("u2", dir.file("Cert/u2.cer"));
    Put("u3", dir.file("Cert/Three.CER"));

    zk::CertList list = List();
    ASSERT_EQ(list.size(), 3u);
    std::vector<int32_t> libs;
    for (const auto& r : list) libs.push_back(r.libIndex);  // ordered by DRFO 1, 2, 3
    EXPECT_EQ(libs, (std::vector<int32_t>{zk::provider::SelectLibrary("USC"), zk::provider::SelectLibrary("QLB"),
                                          zk::provider::SelectLibrary("UA1")}));
    std::vector<std::string> stored;
    for (const auto& e : fs::directory_iterator(dir.file("CertStorage"))) stored.push_back(e.path().filename());
    EXPECT_EQ(stored, std::vector<std::string>{"three.cer"}) << "only certificates of the library UA1 are stored";

    // Without the library a certificate needs, it is left out.
    zk::CertListClear();
    zk::provider::UnloadProvider();
    zktest::WriteFile(dir.file("ZelkorH.ini"), "[CryptoLibs]\nUSC=USC\nQLB=QLB\n");
    std::string error;
    zk::provider::LoadOptions options;
    options.libraryName = ZK_PROVIDER_PATH;
    options.paramsPath = dir.file("ZelkorH.ini");
    ASSERT_EQ(zk::provider::LoadProvider(error, options), 0);
    EXPECT_EQ(List().size(), 2u);
    EXPECT_NE(Log().find("- Process: '" + dir.file("Cert/Three.CER") + "', GetCertFlInfo, Return: 2"),
              std::string::npos);
}

TEST_F(CertListTest, BuiltListIsHandedOutUntilCleared) {
    pki.Ca("ca");
    pki.User("a", "ca", "--drfo 1111111111");
    pki.User("b", "ca", "--drfo 2222222222");
    Put("a", dir.file("Cert/a.cer"));
    EXPECT_EQ(List().size(), 1u);
    Put("b", dir.file("Cert/b.cer"));
    EXPECT_EQ(List().size(), 1u) << "a built list does not touch the disk";
    EXPECT_NE(Log().find("- Actual. Found '1' certificate(s)"), std::string::npos);
    zk::CertListClear();
    EXPECT_EQ(List().size(), 2u);

    // Clearing with a filter also drops the records that pass it.
    zk::CertFilter filter;
    filter.DRFO = "2222222222";
    zk::CertListClear(&filter);
    zk::WithProcessCertList([](zk::CertList& list, bool& built) {
        EXPECT_FALSE(built);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list.begin()->DRFO, "1111111111");
    });
}

TEST_F(CertListTest, BadFilesAreSkippedWithoutHarm) {
    pki.Ca("ca");
    pki.User("good", "ca", "--drfo 1234567890");
    pki.User("hidden", "ca", "--drfo 2222222222");
    const std::string cert = dir.file("Cert");
    const std::string good = Put("good", cert + "/good.cer");
    const std::string der = zktest::ReadFile(good);
    const std::string pem = zktest::ReadFile(pki.path("good.pem"));
    zktest::WriteFile(cert + "/empty.cer", "");
    zktest::WriteFile(cert + "/text.cer", "not a certificate at all");
    zktest::WriteFile(cert + "/truncated.cer", der.substr(0, der.size() - 20));
    zktest::WriteFile(cert + "/garbled.crt", pem.substr(0, 80) + "@@@@" + pem.substr(84));
    zktest::WriteFile(cert + "/zeros.cer", std::string(4096, '\0'));
    fs::copy_file(pki.path("ca.key.pem"), cert + "/key.cer");  // a private key, not a certificate
    {
        // Over 10 MiB: refused before it is read.
        std::ofstream huge(cert + "/huge.cer", std::ios::binary);
        huge << der;
        huge.seekp((11 << 20) - 1);
        huge.put('\0');
    }
    ASSERT_EQ(mkfifo((cert + "/fifo.cer").c_str(), 0600), 0);  // opening it would block
    fs::create_directory_symlink(cert, cert + "/loop");         // a loop back to the root
    fs::create_symlink(cert + "/absent.cer", cert + "/dangling.cer");
    fs::create_directories(cert + "/dir.cer");
    fs::create_directories(cert + "/locked");
    Put("hidden", cert + "/locked/inside.cer");
    fs::permissions(cert + "/locked", fs::perms::none);

    zk::CertList list = List();
    fs::permissions(cert + "/locked", fs::perms::owner_all);
    // The good certificate, met again through the loop, is one record; root
    // reads the locked folder all the same.
    const bool root = geteuid() == 0;
    ASSERT_EQ(list.size(), root ? 2u : 1u);
    EXPECT_EQ(fs::path(list.begin()->path).filename(), "good.cer");
    std::string log = Log();
    for (const char* name : {"text.cer", "truncated.cer", "garbled.crt", "zeros.cer", "key.cer"})
        EXPECT_NE(log.find("- Process: '" + cert + "/" + name + "', GetCertFlInfo, Return: "), std::string::npos)
            << name;
    EXPECT_NE(log.find("- Duplicated: '" + cert + "/"), std::string::npos);
    EXPECT_EQ(log.find("Level: '4'"), std::string::npos) << "the loop ends at the level bound";
    if (!root) {
        EXPECT_EQ(log.find("inside.cer"), std::string::npos) << "an unreadable folder yields nothing";
    }
}

}  // namespace
