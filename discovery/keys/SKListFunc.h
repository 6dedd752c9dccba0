// The key file list (the files that open with a given password, each with its
// key identifiers) and the key search for one certificate, with the password
// cache kept in the certificate list's records.
#pragma once
#include <cstdint>
#include <set>
#include <string>

#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

struct KeyEntry {
    std::string path;  // the key file
    std::string id;    // key identifier: the Serial of the key's certificate
};
struct KeyOrder {
    bool operator()(const KeyEntry& a, const KeyEntry& b) const { return a.id < b.id; }
};
// Ordered by identifier; the first file found keeps an identifier.
using KeyList = std::set<KeyEntry, KeyOrder>;

// Key file extensions (ignoring case).
bool IsKeyFileName(const std::string& name);

// Rebuilds the caller's list from the discovery roots and the KeyPath folder
// with a Windows-1251 password. Each key file's try waits its turn after wrong
// passwords for that file (PasswordThrottle). The walk stops when the request
// is given up or has spent its budget for key checks (base/KeyCheckBudget.h):
// the list then holds what was found so far.
void SKListGet(const std::string& password, KeyList& list);

// The KeyPath setting of Params.ini in the "Cert" folder (section "common"):
// blanks and one trailing slash or backslash removed, at most 255 characters;
// empty when not set.
std::string KeyPath();

// The folders of the user's own certificates and keys, with the subfolders
// the scans walk, at most limit of them: "Cert", the user certificate folder,
// CertPath and KeyPath. (Drives come and go by the mount table's changes.)
std::vector<std::string> WatchedFolders(size_t limit);

// A KeyPath text as KeyPath() reads it back (blanks and one trailing slash or
// backslash removed); empty when it is longer than KeyPath() keeps (a cut
// path would name another folder).
std::string KeyPathFromText(const std::string& text);

// Detail values of a key search.
enum KeyDetail : int {
    kDetailNone = -1,
    kDetailOpened = 0,          // key found and opened
    kDetailNoKeyFile = 1,       // no key file found
    kDetailWrongPassword = 2,   // a key file did not open with the password
    kDetailOtherCertKey = 3,    // a key file belongs to another certificate
};

struct KeySearchInput {
    std::string certPath;
    const uint8_t* cert = nullptr;
    size_t certLen = 0;
    SecretString password;  // Windows-1251, may be empty
    bool preserve = false;
    int32_t libIndex = -1;
    bool passwordRequired = false;
    bool directPairCheck = false;
};

struct KeySearchResult {
    int code = 53;
    std::string keyPath;
    bool opened = false;  // the key opened with the password
    int detail = kDetailNone;
    SecretString password;  // on success: the password the key was checked with (the kept one when it was used)
    // On success with opened: the key, open in the provider (the one opening
    // its check made, or the one kept with the password).
    provider::OpenedKeyPtr key;
};

// Finds, checks and remembers the key file of one certificate of the list.
// A kept password (Preserve) serves and is cleared only by requests of the
// origin that kept it (CurrentRequest()). Every check of a key file waits its
// turn after wrong passwords for that file; a try the throttle refuses counts
// as a wrong password (8).
// The key opened with a kept password stays open beside it (CertRecord::
// keptKey) for as long as the password is kept: a request of that origin
// whose password is the kept one (given again, or taken from the record) is
// answered with it without reading or opening the key file again, as long as
// the file is unchanged.
// The search stops trying files when the request is given up or has spent
// its budget for key checks (base/KeyCheckBudget.h); the result is then what
// the files tried so far gave (53 when none was found).
KeySearchResult FindCertKey(const KeySearchInput& in);

struct KeyCheck {
    int code;
    bool opened;
    provider::OpenedKeyPtr key;  // when opened (and the provider keeps keys open)
};
// Checks one key file against the certificate through the provider. A file
// that cannot be read invalidates the certificate list and gives previousCode.
KeyCheck CheckKeyFile(const std::string& keyPath, int previousCode, const KeySearchInput& in,
                      const std::string& password);
// The same check on key bytes already in memory (a key file sent by a page).
// Not slowed down after wrong passwords: the page holds those bytes and can
// try passwords on them without the service.
KeyCheck CheckKeyBytes(const uint8_t* key, size_t keyLen, const KeySearchInput& in, const std::string& password,
                       const provider::Site& site = {});

}  // namespace zk
