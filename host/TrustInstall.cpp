#include "host/TrustInstall.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "base/Log.h"
#include "http/LocalTls.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace zk::host {
namespace {

namespace fs = std::filesystem;

constexpr int kToolSeconds = 10;
constexpr const char* kNickname = "ca.pem";

std::string CertUtil(const std::string& programFolder) {
    std::string own = process::FindProgram(programFolder + "/certutil");
    return own.empty() ? process::FindProgram("certutil") : own;
}

// certutil -A into one database; its exit status (nothing when it did not run).
std::optional<int> AddToDatabase(const std::string& tool, const std::string& caPath, const std::string& database) {
    return process::Run({tool, "-A", "-n", kNickname, "-i", caPath, "-t", "TCu,TCu,TCu", "-d", database}, kToolSeconds);
}

// An empty certificate database (no password) in dir, unless it has one.
void EnsureDatabase(const std::string& tool, const std::string& dir) {
    if (!files::Exists(dir + "/cert9.db")) process::Run({tool, "-N", "--empty-password", "-d", "sql:" + dir}, kToolSeconds);
}

// Profile folders hold prefs.js or a certificate database; the other folders
// there (crash reports, pending pings) are left alone.
bool IsProfile(const fs::path& dir) {
    std::error_code ec;
    for (const char* marker : {"prefs.js", "cert9.db", "cert8.db"})
        if (fs::exists(dir / marker, ec)) return true;
    return false;
}

constexpr size_t kMaxProfiles = 64;  // per profiles folder

// The profiles of one profiles folder: the folders its profiles.ini names
// (relative to it or absolute; a profile made by the profile manager and not
// opened yet has nothing else that tells it apart), then its subfolders that
// look like profiles. Each once.
std::vector<fs::path> ProfilesIn(const fs::path& root) {
    std::vector<fs::path> found;
    auto add = [&found](const fs::path& dir) {
        std::error_code ec;
        fs::path real = fs::canonical(dir, ec);
        if (ec || !fs::is_directory(real, ec) || found.size() >= kMaxProfiles) return;
        for (const auto& known : found)
            if (known == real) return;
        found.push_back(real);
    };
    const std::string ini = (root / "profiles.ini").string();
    for (const auto& section : Profile::SectionNames(ini)) {
        if (!StartsWithNoCase(section, "Profile")) continue;
        std::string path = Profile::GetString(ini, section, "Path");
        if (path.empty()) continue;
        add(Profile::GetInt(ini, section, "IsRelative", 1) != 0 ? root / path : fs::path(path));
    }
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && IsProfile(it->path())) add(it->path());
    }
    return found;
}

// Where Firefox keeps its profiles: the XDG configuration folder (current
// releases make new profiles there), ~/.mozilla (older releases, and every
// profile made there before), and the snap's own home.
std::vector<fs::path> FirefoxRoots(const TrustOptions& options) {
    const std::string config = options.configHome.empty() ? options.home + "/.config" : options.configHome;
    return {config + "/mozilla/firefox", options.home + "/.mozilla/firefox",
            options.home + "/snap/firefox/common/.mozilla/firefox"};
}

// Every profile, at every start: profiles made since the last one get the CA
// too. A profile not opened yet gets the database Firefox then takes over.
void TrustInFirefox(const std::string& tool, const std::string& caPath, const TrustOptions& options) {
    for (const auto& root : FirefoxRoots(options)) {
        for (const auto& profile : ProfilesIn(root)) {
            std::string dir = profile.string();
            EnsureDatabase(tool, dir);
            AddToDatabase(tool, caPath, "dbm:" + dir);  // outcome not checked: the profile may use either form
            AddToDatabase(tool, caPath, "sql:" + dir);
            ZLOG("InstallLocalTrust", "Firefox profile: %s", dir.c_str());
        }
    }
}

// The user's NSS database, made empty first when the user has none yet.
bool TrustInUserDatabase(const std::string& tool, const std::string& caPath, const std::string& home) {
    std::string dir = home + "/.pki/nssdb";
    if (!files::Exists(dir + "/cert9.db") && !files::CreateFolder(dir)) return false;
    EnsureDatabase(tool, dir);
    AddToDatabase(tool, caPath, "dbm:" + dir);
    auto status = AddToDatabase(tool, caPath, "sql:" + dir);
    return status && *status == 0;
}

bool TrustInSystemStore(const std::string& folder, const std::string& updateTool, const std::string& caPath) {
    if (access(folder.c_str(), W_OK) != 0) return false;
    auto ca = files::ReadAll(caPath, 1 << 20);
    if (!ca) return false;
    std::string target = folder + "/" + SystemStoreFileName(*ca);
    auto kept = files::ReadAll(target, 1 << 20);
    if (kept && *kept == *ca) return true;  // already there: nothing to redo
    if (!files::WriteAtomically(target, ca->data(), ca->size(), 0644)) return false;
    std::string update = process::FindProgram(updateTool);
    if (!update.empty()) process::Run({update}, 60);
    return true;
}

}  // namespace

std::string SystemStoreFileName(std::span<const uint8_t> caPem) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(caPem.data(), caPem.size(), digest, &length, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string name = "ZelkorH-local-ca-";
    for (unsigned int i = 0; i < 8 && i < length; ++i) name.append({kHex[digest[i] >> 4], kHex[digest[i] & 15]});
    return name + ".crt";
}

bool InstallLocalTrust(const TrustOptions& options) {
    std::string caPath = options.programFolder + "/" + http::kCaFileName;
    std::string tool = CertUtil(options.programFolder);
    if (tool.empty()) ZLOG("InstallLocalTrust", "certutil not found");
    bool installed = false;
    if (!tool.empty() && !options.home.empty()) TrustInFirefox(tool, caPath, options);
    if (options.systemStore && TrustInSystemStore(options.systemFolder, options.systemUpdate, caPath)) installed = true;
    if (!tool.empty() && !options.home.empty() && TrustInUserDatabase(tool, caPath, options.home)) installed = true;
    ZLOG("InstallLocalTrust", "Result: %d", installed ? 1 : 0);
    return installed;
}

}  // namespace zk::host
