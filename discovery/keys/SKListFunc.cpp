#include "discovery/keys/SKListFunc.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "base/KeyCheckBudget.h"
#include "base/RequestContext.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "discovery/keys/PasswordThrottle.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

const Extensions kKeyExtensions = {".sk", ".key", ".dat", ".zs2", ".zsk", ".jks", ".pfx"};
constexpr size_t kMaxKeyPath = 255;
constexpr int kWrongPassword = 8;
constexpr int kGivenUp = 50;  // the provider stopped a check: the request was given up or is over its budget

// Whether a search stops before its next key file; logs why, once per search.
class SearchEnd {
public:
    explicit SearchEnd(const char* function) : function_(function) {}
    bool Reached() {
        if (reached_) return true;
        const char* why = RequestCancelled()       ? "the request was given up"
                          : KeyCheckBudgetSpent() ? "the request's time for key checks is spent"
                                                  : nullptr;
        if (!why) return false;
        reached_ = true;
        log::Write(function_, __FILE__, __LINE__, "Key search stopped: %s", why);
        return true;
    }

private:
    const char* function_;
    bool reached_ = false;
};

bool ReadKeyFile(const std::string& path, SecretBytes& key, files::FileVersion* version = nullptr) {
    if (version) {
        auto v = files::VersionOf(path);  // before the bytes: a change meanwhile shows next time
        if (!v) return false;
        *version = *v;
    }
    auto data = files::ReadAll(path, kMaxScannedFile);
    if (!data || data->empty()) return false;
    key.bytes() = std::move(*data);
    key.KeepOutOfDumps();
    return true;
}


void InsertKey(KeyList& list, const std::string& path, const std::string& id, const char* before) {
    if (id.empty()) return;
    ZLOG("_AddSK", "%s", before);
    if (list.insert(KeyEntry{path, id}).second)
        ZLOG("_AddSK", "Added: '%s'", path.c_str());
    else
        ZLOG("_AddSK", "Duplicated: '%s'", path.c_str());
}

void AddSK(const std::string& path, const std::string& password, KeyList& list) {
    ZLOG("_AddSK", "Process: '%s'", path.c_str());
    SecretBytes key;
    if (!ReadKeyFile(path, key)) return;

    // The key opens with the password when it can be re-encrypted with it:
    // a password try like any other, slowed down after wrong ones. The
    // re-encrypted file is not wanted, only whether it can be made, so no
    // room is given for it: a key store of any size is listed.
    PasswordTry turn(path, key.bytes().data(), key.bytes().size(), password);
    if (!turn.Allowed()) return;
    KeyCheckScope timed;
    SecretBytes scratch;
    int rc = provider::ChangeKeyPassword(ZK_SITE("_AddSK"), password.c_str(), key.bytes(), password.c_str(), scratch);
    turn.Report(rc, rc == 0);
    if (rc != 0) return;

    provider::KeyIds ids;
    rc = provider::GetSubjectKeyIdentifier(ZK_SITE("_AddSK"), key.bytes(), password.c_str(), ids);
    if (rc != 0) return;
    InsertKey(list, path, ids.id1, "Before insert 1");
    InsertKey(list, path, ids.id2, "Before insert 2");
}

bool IsQlbOrUsc(int32_t libIndex) {
    int identity = provider::LibraryIdentityByIndex(libIndex);
    return identity >= 0 && (identity == provider::LibraryIdentityByCode("QLB") ||
                             identity == provider::LibraryIdentityByCode("USC"));
}

// The provider's pair check; unreadable is set when the key file cannot be
// read. After wrong passwords for this key file the check waits its turn; a
// try refused by the throttle counts as a wrong password.
KeyCheck CheckKey(const std::string& keyPath, int previousCode, const KeySearchInput& in,
                  const std::string& password, bool& unreadable, files::FileVersion* version = nullptr) {
    SecretBytes key;
    unreadable = !ReadKeyFile(keyPath, key, version);
    if (unreadable) return {previousCode, false, {}};
    PasswordTry turn(keyPath, key.bytes().data(), key.bytes().size(), password);
    if (!turn.Allowed()) return {kWrongPassword, false, {}};
    KeyCheckScope timed;
    KeyCheck c = CheckKeyBytes(key.bytes().data(), key.bytes().size(), in, password);
    turn.Report(c.code, c.opened);
    return c;
}

// Records a found key in the certificate's record (the password cache). A
// kept password belongs to the origin of the page that kept it: requests of
// other origins neither use it (CheckCachedKey) nor clear it.
// The key opened with a kept password is kept with it, and goes with it.
void RememberKey(const CertRecord& record, const std::string& keyPath, const KeySearchInput& in, bool opened,
                 const std::string& password, const provider::OpenedKeyPtr& key,
                 const std::optional<files::FileVersion>& version) {
    if (record.keyPath != keyPath) record.keptKey.key.reset();
    record.keyPath = keyPath;
    record.libIndex = in.libIndex;
    const std::string& origin = CurrentRequest().origin;
    if (in.preserve && opened) {
        record.keptPassword = password;
        record.keptOrigin = origin;
        if (key && version) {
            record.keptKey.key = key;
            record.keptKey.file = *version;
        } else {
            record.keptKey.key.reset();
        }
    } else if (record.keptOrigin == origin) {
        record.keptPassword.clear();
        record.keptKey.key.reset();
    }
}

CertList::iterator FindRecord(CertList& list, const std::string& certPath) {
    return std::find_if(list.begin(), list.end(), [&](const CertRecord& r) { return r.path == certPath; });
}

// Step 2: the key remembered for the certificate. It is looked up and the
// result recorded under the list lock, but checked without it: the check may
// wait out the delay after wrong passwords, and other requests need the list.
bool CheckCachedKey(const KeySearchInput& in, KeySearchResult& res) {
    std::string keyPath;
    SecretString password(in.password);
    KeptKey kept;
    WithProcessCertList([&](CertList& list, bool& built) {
        if (!built) return;
        auto it = FindRecord(list, in.certPath);
        if (it == list.end() || it->keyPath.empty()) return;
        keyPath = it->keyPath;
        const bool ours = it->keptOrigin == CurrentRequest().origin;
        if (in.preserve && password.empty() && ours) password = it->keptPassword;
        // The kept key serves only its origin, and only the password it was opened with.
        if (ours && it->keptKey.key && SameSecret(password.str(), it->keptPassword.str())) {
            kept.key = it->keptKey.key;
            kept.file = it->keptKey.file;
        }
    });
    if (keyPath.empty()) return false;

    bool unreadable = false;
    std::optional<files::FileVersion> version = kept.key ? files::VersionOf(keyPath) : std::nullopt;
    KeyCheck c{0, true, kept.key};
    if (!kept.key || !version || !(*version == kept.file)) {
        // Not kept, or the file changed: read and check it again.
        files::FileVersion read{};
        c = CheckKey(keyPath, 53, in, password.str(), unreadable, &read);
        version = read;
        if (c.code == kGivenUp) c.code = 53;  // stopped on the way: not found, and nothing recorded
    }
    res.code = c.code;
    res.opened = c.opened;
    if (c.code == 0) {
        res.keyPath = keyPath;
        res.password = password;
        res.key = c.key;
        if (!c.opened && in.passwordRequired) {
            res.code = 8;
            res.detail = kDetailWrongPassword;
        } else {
            res.detail = kDetailOpened;
        }
    } else if (c.code == 8) {
        res.detail = kDetailWrongPassword;
    }
    WithProcessCertList([&](CertList& list, bool& built) {
        if (unreadable) {
            built = false;  // the list no longer matches the disk
            return;
        }
        if (c.code != 0 || !built) return;
        if (auto it = FindRecord(list, in.certPath); it != list.end())
            RememberKey(*it, keyPath, in, c.opened, password.str(), c.key, version);
    });
    return true;
}

// Tests one candidate of the search; true when the search ends with it.
bool TryCandidate(const std::string& keyPath, const KeySearchInput& in, KeySearchResult& res) {
    bool unreadable = false;
    files::FileVersion version{};
    KeyCheck c = CheckKey(keyPath, res.code, in, in.password.str(), unreadable, &version);
    if (unreadable) CertListClear();
    if (c.code == kGivenUp) return false;  // not tried to its end: it tells nothing
    res.code = c.code;
    res.opened = c.opened;
    if (c.code == 6) {
        res.detail = kDetailOtherCertKey;
    } else if (c.code == 8) {
        if (res.detail == kDetailNoKeyFile) res.detail = kDetailWrongPassword;
    } else if (c.code == 0) {
        if (in.passwordRequired && !c.opened) {
            res.code = 8;
            if (res.detail == kDetailNoKeyFile) res.detail = kDetailWrongPassword;
            return false;
        }
        res.detail = kDetailOpened;
        res.keyPath = keyPath;
        res.password = in.password;
        res.key = c.key;
        WithProcessCertList([&](CertList& list, bool& built) {
            if (!built) return;
            if (auto it = FindRecord(list, in.certPath); it != list.end())
                RememberKey(*it, keyPath, in, c.opened, in.password.str(), c.key, version);
        });
        return true;
    }
    return false;
}

std::string Stem(const std::string& path) { return std::filesystem::path(path).stem().string(); }

// Key files of a folder: those named like the certificate first, then the others.
std::vector<std::string> FolderCandidates(const std::string& folder, const std::string& certStem) {
    std::vector<std::string> same, others;
    if (auto files = ListFiles(folder, kKeyExtensions))
        for (std::string& f : *files) (EqualNoCase(Stem(f), certStem) ? same : others).push_back(std::move(f));
    same.insert(same.end(), others.begin(), others.end());
    return same;
}

}  // namespace

bool IsKeyFileName(const std::string& name) { return HasExtension(name, kKeyExtensions); }

std::string WithoutTrailingSeparator(std::string path) {
    path = TrimBlanks(path);
    if (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

std::string KeyPath() {
    std::string path = WithoutTrailingSeparator(Profile::GetString(CertParamsIniPath(), "common", "KeyPath", "", 1023));
    if (path.size() > kMaxKeyPath) path.resize(kMaxKeyPath);
    return path;
}

std::vector<std::string> WatchedFolders(size_t limit) {
    std::vector<std::string> folders;
    for (const std::string& root : {WorkFolder("Cert"), UserCertFolder(), Host().certPath, KeyPath()})
        AppendScannedFolders(root, limit, folders);
    return folders;
}

std::string KeyPathFromText(const std::string& text) {
    std::string path = WithoutTrailingSeparator(text);
    return path.size() > kMaxKeyPath ? std::string() : path;
}

void SKListGet(const std::string& password, KeyList& list) {
    ZLOG("SKListGet", "Rebuild");
    list.clear();
    std::vector<std::string> roots = DiscoveryRoots();
    if (std::string keyPath = KeyPath(); !keyPath.empty()) roots.push_back(keyPath);
    SearchEnd end("SKListGet");
    for (const std::string& root : roots) {
        if (end.Reached()) break;
        ScanFolder(root, 0, "_SKListGet", __FILE__, kKeyExtensions, [&](const std::string& path) {
            if (end.Reached()) return false;
            AddSK(path, password, list);
            return true;
        });
    }
    ZLOG("SKListGet", "Found '%u' key(s)", static_cast<unsigned>(list.size()));
}

KeyCheck CheckKeyBytes(const uint8_t* key, size_t keyLen, const KeySearchInput& in, const std::string& password,
                       const provider::Site& site) {
    const provider::ByteView cert(in.cert, in.certLen), bytes(key, keyLen);
    provider::OpenedKeyPtr opened_key;
    int rc = in.directPairCheck
                 ? provider::Invoke<ZK_EXPORT(ZKLCTX_CheckKeyPair)>(site, cert, bytes, password.c_str())
                 : provider::LibOpenKeyPair(site, in.libIndex, bytes, cert, password.c_str(), opened_key);
    // The libraries "QLB" and "USC" may accept a key without its password; it
    // then counts as found, not as opened.
    bool opened = rc == 0 && !(password.empty() && IsQlbOrUsc(in.libIndex));
    if (!opened) opened_key.reset();
    return {rc, opened, std::move(opened_key)};
}

KeyCheck CheckKeyFile(const std::string& keyPath, int previousCode, const KeySearchInput& in,
                      const std::string& password) {
    bool unreadable = false;
    KeyCheck c = CheckKey(keyPath, previousCode, in, password, unreadable);
    if (unreadable) CertListClear();
    return c;
}

KeySearchResult FindCertKey(const KeySearchInput& in) {
    KeySearchResult res;
    if (CheckCachedKey(in, res)) return res;

    // Stages 0 and 1: the certificate's own folder; 2 and 3: the KeyPath folder.
    res.code = 53;
    res.detail = kDetailNoKeyFile;
    const std::string certStem = Stem(in.certPath);
    std::vector<std::string> candidates =
        FolderCandidates(std::filesystem::path(in.certPath).parent_path().string(), certStem);
    if (std::string keyPath = KeyPath(); !keyPath.empty()) {
        std::vector<std::string> more = FolderCandidates(keyPath, certStem);
        candidates.insert(candidates.end(), more.begin(), more.end());
    }
    SearchEnd end("FindCertKey");
    for (const std::string& candidate : candidates) {
        if (end.Reached()) return res;
        if (TryCandidate(candidate, in, res)) return res;
    }
    if (!candidates.empty()) return res;

    // Nothing near the certificate: every key file of the discovery roots.
    res.detail = kDetailNone;
    for (const std::string& root : DiscoveryRoots()) {
        bool stopped = !ScanFolder(root, 0, "FindCertKey", __FILE__, kKeyExtensions,
                                   [&](const std::string& path) { return !end.Reached() && !TryCandidate(path, in, res); });
        if (stopped) break;
    }
    return res;
}

}  // namespace zk
