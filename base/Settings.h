// Process-wide settings: the host settings of the ".my" file (written once at
// start-up, read-only afterwards), the settings lock, the user certificate
// folder and the paths of the settings files and working folders.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zk {

struct HostSettings {
    std::string host = "127.0.0.1";
    int port = 19744;
    int portS = 20026;
    std::string certPath;           // extra certificate folder, may be empty
    bool autoUpdate = true;
    bool log = false;
    uint64_t maxBody = 256ull << 20;  // largest request body accepted
    bool systemTrust = false;         // also install the local CA into the system store (when writable)
    int sqlTimeout = 30;              // seconds one DB_COMMAND's SQL may run
    uint64_t logMaxSize = 10ull << 20;          // the log is rotated at this size
    int maxConnections = 512;                   // open connections per listener; the oldest idle go first
    uint64_t maxBodiesInFlight = 512ull << 20;  // request memory held at once (bodies, unpacked texts, answers); more are answered 503
    int answerTimeout = 60;                     // seconds an answer may wait for its reader to take more of it
    std::vector<std::string> allowedOrigins;    // empty: every origin; else only these (exact)
    std::vector<std::string> tokenAdminOrigins;  // pages that may change or lock tokens without asking the user
    bool allowPrivateTargets = false;  // pages may have the service connect to loopback and private addresses
    std::string updateUrl;     // the update server's base address; empty: the built-in one
    std::string updateCA;      // PEM file of the CAs the update transfers trust; empty: the system's store
    std::string updateSigner;  // certificate whose key must sign the digest list; empty: no signature needed
};

// The settings read by LoadHostSettings (defaults before that).
const HostSettings& Host();
// Reads section "common" of the module path with ".my" (absent: defaults).
void LoadHostSettings();
// For tests that run service code in-process.
void SetHostSettingsForTesting(const HostSettings& settings);

// Guards the settings that change while running: update base address and
// force mark, the user certificate folder and the local data file.
std::mutex& SettingsLock();

// The user certificate folder ("UsrCertPath"); read and written under the
// settings lock by these functions.
std::string UserCertFolder();
void SetUserCertFolder(const std::string& folder);
// The same for a caller that holds the settings lock already.
std::string UserCertFolderLocked();
void SetUserCertFolderLocked(const std::string& folder);
// Loads "UsrCertPath" from Params.ini (blanks cut).
void LoadUserCertFolder();

// "Params.ini" in the program folder, and the one in the "Cert" folder.
std::string ParamsIniPath();
std::string CertParamsIniPath();

// Working folders in the program folder.
std::string WorkFolder(const char* name);  // "View", "Cert", "CertStorage", "Updates", "TEMP", "Data"

// "%u.%u.%u.%u" product version.
const char* VersionText();

}  // namespace zk
