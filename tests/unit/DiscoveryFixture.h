// Fixtures for the certificate and key discovery tests: certificates and key
// files made at test time with zkpki, the provider library loaded with the
// three default crypto libraries, a temporary program folder, and drives read
// from a fixture mount table (none unless a test adds them).
#pragma once
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "discovery/CertListFunc.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "platform/Drives.h"
#include "platform/ModulePath.h"
#include "provider/Provider.h"

namespace zktest {

inline std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command; its standard output goes to out. Returns the exit code.
inline int RunCommand(const std::string& command, std::string* out = nullptr) {
    FILE* p = popen((command + (out ? "" : " >/dev/null")).c_str(), "r");
    if (!p) return -1;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        if (out) out->append(buf.data(), n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// zkpki in a folder: every call fails the test when the tool fails.
class Pki {
public:
    explicit Pki(std::string dir) : dir_(std::move(dir)) { std::filesystem::create_directories(dir_); }
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void Ca(const std::string& name, const std::string& options = "") {
        Run("ca --out " + ShellQuote(dir_) + " --name " + name + " " + options);
    }
    // Returns the certificate's key identifier.
    std::string User(const std::string& name, const std::string& ca, const std::string& options = "") {
        std::string out = Run("user --out " + ShellQuote(dir_) + " --name " + name + " --ca " + ShellQuote(path(ca)) +
                              " " + options);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        return out;
    }
    // A key file of one or two keys: "p12", "p8der" or "p8pem".
    void KeyFile(const std::string& file, const std::string& format, const std::string& password,
                 const std::string& user, const std::string& user2 = "") {
        std::string cmd = "keyfile --out " + ShellQuote(file) + " --format " + format + " --pass " +
                          ShellQuote(password) + " --key " + ShellQuote(path(user + ".key.pem"));
        if (format == "p12") cmd += " --cert " + ShellQuote(path(user + ".pem"));
        if (!user2.empty())
            cmd += " --key2 " + ShellQuote(path(user2 + ".key.pem")) + " --cert2 " + ShellQuote(path(user2 + ".pem"));
        Run(cmd);
    }

private:
    std::string Run(const std::string& args) {
        std::string out;
        int rc = RunCommand(std::string(ZK_ZKPKI_PATH) + " " + args, &out);
        EXPECT_EQ(rc, 0) << "zkpki " << args;
        return out;
    }
    std::string dir_;
};

// A temporary program folder with the provider library loaded.
class DiscoveryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        zk::SetModulePathForTesting(dir.file("ZelkorH"));
        std::filesystem::create_directories(dir.file("Cert"));
        std::filesystem::create_directories(dir.file("CertStorage"));
        WriteFile(dir.file("ZelkorH.ini"), "[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n");
        WriteFile(dir.file("mountinfo"), "");
        zk::drives::SystemDriveMask().SetSources({dir.file("mountinfo"), dir.file("sys")});
        zk::SetHostSettingsForTesting(zk::HostSettings{});
        zk::SetUserCertFolder("");
        std::string error;
        zk::provider::LoadOptions options;
        options.libraryName = ZK_PROVIDER_PATH;
        options.paramsPath = dir.file("ZelkorH.ini");
        ASSERT_EQ(zk::provider::LoadProvider(error, options), 0) << error;
        zk::log::Start(dir.str(), true);
        zk::CertListClear();
    }
    void TearDown() override {
        zk::CertListClear();
        zk::log::Stop();
        zk::provider::UnloadProvider();
        zk::drives::SystemDriveMask().SetSources({});
    }

    std::string Log() const { return ReadFile(dir.file("ZelkorH.log")); }

    // Mounts folder as a USB drive in the fixture mount table.
    void AddUsbDrive(const std::string& folder) {
        const std::string device = "devices/pci0000:00/0000:00:14.0/usb1/1-1/host6/block/sdb/sdb1";
        std::filesystem::create_directories(dir.file("sys/" + device));
        std::filesystem::create_directories(dir.file("sys/dev/block"));
        std::error_code ec;
        std::filesystem::create_symlink("../../" + device, dir.file("sys/dev/block/8:17"), ec);
        std::filesystem::create_directories(folder);
        std::string table = ReadFile(dir.file("mountinfo"));
        table += "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n30 22 8:17 / " + folder + " rw - vfat /dev/sdb1 rw\n";
        WriteFile(dir.file("mountinfo"), table);
        zk::drives::SystemDriveMask().SetSources({dir.file("mountinfo"), dir.file("sys")});
    }

    zk::CertList List() {
        zk::CertList list;
        zk::CertListGet(list);
        return list;
    }
    static std::vector<std::string> Paths(const zk::CertList& list) {
        std::vector<std::string> paths;
        for (const auto& r : list) paths.push_back(r.path);
        return paths;
    }

    TempDir dir;
    Pki pki{dir.file("pki")};
};

}  // namespace zktest
