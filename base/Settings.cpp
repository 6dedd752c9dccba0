#include "base/Settings.h"

#include <algorithm>
#include <cstdlib>

#include "platform/ModulePath.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace zk {
namespace {

HostSettings g_host;
std::mutex g_settingsLock;
std::string g_userCertFolder;

constexpr size_t kMaxText = 1023;

// A positive decimal count, else the default.
uint64_t PositiveSetting(const std::string& file, const char* key, uint64_t fallback) {
    std::string text = TrimBlanks(Profile::GetString(file, "common", key, "", kMaxText));
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return fallback;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    return v > 0 ? v : fallback;
}

// Origins separated by blanks or commas.
std::vector<std::string> OriginList(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(" \t,", i);
        if (end == std::string::npos) end = text.size();
        if (end > i) out.push_back(text.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

}  // namespace

const HostSettings& Host() { return g_host; }

void SetHostSettingsForTesting(const HostSettings& settings) { g_host = settings; }

void LoadHostSettings() {
    const std::string my = ModulePathWithExtension(".my");
    HostSettings s;
    s.host = TrimBlanks(Profile::GetString(my, "common", "Host", s.host, kMaxText));
    s.port = static_cast<int>(Profile::GetInt(my, "common", "Port", s.port));
    s.portS = static_cast<int>(Profile::GetInt(my, "common", "PortS", s.portS));
    s.certPath = TrimBlanks(Profile::GetString(my, "common", "CertPath", "", kMaxText));
    while (!s.certPath.empty() && (s.certPath.back() == '/' || s.certPath.back() == '\\') && s.certPath.size() > 1)
        s.certPath.pop_back();
    s.autoUpdate = Profile::GetInt(my, "common", "AutoUpdate", 1) != 0;
    s.log = Profile::GetInt(my, "common", "Log", 0) != 0;
    s.systemTrust = Profile::GetInt(my, "common", "SystemTrust", 0) != 0;
    const long sqlTimeout = Profile::GetInt(my, "common", "SqlTimeout", s.sqlTimeout);
    if (sqlTimeout > 0 && sqlTimeout <= 86400) s.sqlTimeout = static_cast<int>(sqlTimeout);
    std::string maxBody = Profile::GetString(my, "common", "MaxBody", "");
    if (!maxBody.empty()) {
        unsigned long long v = std::strtoull(maxBody.c_str(), nullptr, 10);
        if (v > 0) s.maxBody = v;
    }
    s.logMaxSize = PositiveSetting(my, "LogMaxSize", s.logMaxSize);
    s.maxConnections = static_cast<int>(std::min<uint64_t>(PositiveSetting(my, "MaxConnections", s.maxConnections), 1u << 20));
    s.maxBodiesInFlight = PositiveSetting(my, "MaxBodiesInFlight", s.maxBodiesInFlight);
    s.answerTimeout = static_cast<int>(std::min<uint64_t>(PositiveSetting(my, "AnswerTimeout", s.answerTimeout), 86400));
    s.allowedOrigins = OriginList(Profile::GetString(my, "common", "AllowedOrigins", "", 32767));
    s.tokenAdminOrigins = OriginList(Profile::GetString(my, "common", "TokenAdminOrigins", "", 32767));
    s.allowPrivateTargets = Profile::GetInt(my, "common", "AllowPrivateTargets", 0) != 0;
    s.updateUrl = TrimBlanks(Profile::GetString(my, "common", "UpdateUrl", "", 4096));
    s.updateCA = TrimBlanks(Profile::GetString(my, "common", "UpdateCA", "", kMaxText));
    s.updateSigner = TrimBlanks(Profile::GetString(my, "common", "UpdateSigner", "", kMaxText));
    g_host = s;
}

std::mutex& SettingsLock() { return g_settingsLock; }

std::string UserCertFolder() {
    std::lock_guard lock(g_settingsLock);
    return g_userCertFolder;
}

void SetUserCertFolder(const std::string& folder) {
    std::lock_guard lock(g_settingsLock);
    g_userCertFolder = folder;
}

std::string UserCertFolderLocked() { return g_userCertFolder; }
void SetUserCertFolderLocked(const std::string& folder) { g_userCertFolder = folder; }

void LoadUserCertFolder() {
    SetUserCertFolder(TrimBlanks(Profile::GetString(ParamsIniPath(), "common", "UsrCertPath", "", 1023)));
}

std::string ParamsIniPath() { return ProgramFile("Params.ini"); }
std::string CertParamsIniPath() { return ProgramFile("Cert/Params.ini"); }
std::string WorkFolder(const char* name) { return ProgramFile(name); }
const char* VersionText() { return ZELKOR_VERSION_TEXT; }

}  // namespace zk
