#include "discovery/SKListFunc.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "host/Log.h"
#include "host/Settings.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "provider/Provider.h"

namespace zk {
namespace {

const Extensions kKeyExtensions = {".sk", ".key", ".dat", ".zs2", ".zsk", ".jks", ".pfx"};
constexpr size_t kMaxKeyPath = 255;

bool ReadKeyFile(const std::string& path, SecretBytes& key) {
    auto data = files::ReadAll(path, kMaxScannedFile);
    if (!data || data->empty()) return false;
    key.bytes() = std::move(*data);
    key.KeepOutOfDumps();
    return true;
}

std::string IdText(const char (&id)[ZK_ID_TEXT_SIZE]) { return std::string(id, strnlen(id, sizeof id)); }

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
    const auto keyLen = static_cast<uint32_t>(key.bytes().size());

    // The key opens with the password when it can be re-encrypted with it.
    ZLOG("_AddSK", "Before ChangeKeyPassword");
    SecretBytes scratch;
    scratch.bytes().resize(ZK_KEY_BUFFER_SIZE);
    uint32_t scratchLen = ZK_KEY_BUFFER_SIZE;
    int rc = provider::Call<&provider::Exports::ZKLCTX_ChangeKeyPassword>(
        password.c_str(), key.bytes().data(), keyLen, password.c_str(), scratch.bytes().data(), &scratchLen);
    ZLOG("_AddSK", "After ChangeKeyPassword, Return: %d", rc);
    if (rc != 0) return;

    ZLOG("_AddSK", "Before GetSubjectKeyIdentifier");
    char id1[ZK_ID_TEXT_SIZE] = {}, id2[ZK_ID_TEXT_SIZE] = {};
    rc = provider::Call<&provider::Exports::ZKLCTX_GetSubjectKeyIdentifier>(key.bytes().data(), keyLen,
                                                                             password.c_str(), id1, id2);
    ZLOG("_AddSK", "After GetSubjectKeyIdentifier, Return: %d", rc);
    if (rc != 0) return;
    InsertKey(list, path, IdText(id1), "Before insert 1");
    InsertKey(list, path, IdText(id2), "Before insert 2");
}

bool IsQlbOrUsc(int32_t libIndex) {
    int identity = provider::LibraryIdentityByIndex(libIndex);
    return identity >= 0 && (identity == provider::LibraryIdentityByCode("QLB") ||
                             identity == provider::LibraryIdentityByCode("USC"));
}

// The provider's pair check; unreadable is set when the key file cannot be read.
KeyCheck CheckKey(const std::string& keyPath, int previousCode, const KeySearchInput& in,
                  const std::string& password, bool& unreadable) {
    SecretBytes key;
    unreadable = !ReadKeyFile(keyPath, key);
    if (unreadable) return {previousCode, false};
    return CheckKeyBytes(key.bytes().data(), key.bytes().size(), in, password);
}

// Records a found key in the certificate's record (the password cache).
void RememberKey(const CertRecord& record, const std::string& keyPath, const KeySearchInput& in, bool opened,
                 const std::string& password) {
    record.keyPath = keyPath;
    record.libIndex = in.libIndex;
    if (in.preserve && opened)
        record.keptPassword = password;
    else
        record.keptPassword.clear();
}

CertList::iterator FindRecord(CertList& list, const std::string& certPath) {
    return std::find_if(list.begin(), list.end(), [&](const CertRecord& r) { return r.path == certPath; });
}

// Step 2: the key remembered for the certificate, checked under the list lock.
bool CheckCachedKey(const KeySearchInput& in, KeySearchResult& res) {
    bool cached = false;
    WithProcessCertList([&](CertList& list, bool& built) {
        if (!built) return;
        auto it = FindRecord(list, in.certPath);
        if (it == list.end() || it->keyPath.empty()) return;
        cached = true;
        SecretString password(in.password);
        if (in.preserve && password.empty()) password = it->keptPassword;
        bool unreadable = false;
        KeyCheck c = CheckKey(it->keyPath, 53, in, password.str(), unreadable);
        if (unreadable) built = false;
        res.code = c.code;
        res.opened = c.opened;
        if (c.code == 0) {
            std::string keyPath = it->keyPath;
            RememberKey(*it, keyPath, in, c.opened, password.str());
            res.keyPath = keyPath;
            res.password = password;
            if (!c.opened && in.passwordRequired) {
                res.code = 8;
                res.detail = kDetailWrongPassword;
            } else {
                res.detail = kDetailOpened;
            }
        } else if (c.code == 8) {
            res.detail = kDetailWrongPassword;
        }
    });
    return cached;
}

// Tests one candidate of the search; true when the search ends with it.
bool TryCandidate(const std::string& keyPath, const KeySearchInput& in, KeySearchResult& res) {
    KeyCheck c = CheckKeyFile(keyPath, res.code, in, in.password.str());
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
        WithProcessCertList([&](CertList& list, bool& built) {
            if (!built) return;
            if (auto it = FindRecord(list, in.certPath); it != list.end())
                RememberKey(*it, keyPath, in, c.opened, in.password.str());
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

std::string KeyPath() {
    std::string path = TrimBlanks(Profile::GetString(CertParamsIniPath(), "common", "KeyPath", "", 1023));
    if (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    if (path.size() > kMaxKeyPath) path.resize(kMaxKeyPath);
    return path;
}

void SKListGet(const std::string& password, KeyList& list) {
    ZLOG("SKListGet", "Rebuild");
    list.clear();
    std::vector<std::string> roots = DiscoveryRoots();
    if (std::string keyPath = KeyPath(); !keyPath.empty()) roots.push_back(keyPath);
    for (const std::string& root : roots)
        ScanFolder(root, 0, "_SKListGet", __FILE__, kKeyExtensions, [&](const std::string& path) {
            AddSK(path, password, list);
            return true;
        });
    ZLOG("SKListGet", "Found '%u' key(s)", static_cast<unsigned>(list.size()));
}

KeyCheck CheckKeyBytes(const uint8_t* key, size_t keyLen, const KeySearchInput& in, const std::string& password) {
    const auto certLen = static_cast<uint32_t>(in.certLen);
    const auto len = static_cast<uint32_t>(keyLen);
    int rc = in.directPairCheck
                 ? provider::Call<&provider::Exports::ZKLCTX_CheckKeyPair>(in.cert, certLen, key, len, password.c_str())
                 : provider::CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(in.libIndex, key, ZKKeyLen{len}, in.cert, certLen,
                                                                password.c_str());
    // The libraries "QLB" and "USC" may accept a key without its password; it
    // then counts as found, not as opened.
    bool opened = rc == 0 && !(password.empty() && IsQlbOrUsc(in.libIndex));
    return {rc, opened};
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
    for (const std::string& candidate : candidates)
        if (TryCandidate(candidate, in, res)) return res;
    if (!candidates.empty()) return res;

    // Nothing near the certificate: every key file of the discovery roots.
    res.detail = kDetailNone;
    for (const std::string& root : DiscoveryRoots()) {
        bool found = !ScanFolder(root, 0, "FindCertKey", __FILE__, kKeyExtensions,
                                 [&](const std::string& path) { return !TryCandidate(path, in, res); });
        if (found) break;
    }
    return res;
}

}  // namespace zk
