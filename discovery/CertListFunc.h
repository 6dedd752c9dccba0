// The certificate list: the user's certificate files found on removable and
// CD-ROM drives and in the configured folders, parsed by the provider, kept as
// one process-wide ordered set of records. Callers work on copies.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/SecureWipe.h"
#include "provider/Operations.h"

namespace zk {

struct CertFilter;

// The key opened with a record's kept password, with the version of the key
// file it came from. Only the process list's record holds it: a copy of a
// record (the lists callers work on) holds none, so the key goes exactly when
// the record's kept password does.
struct KeptKey {
    KeptKey() = default;
    KeptKey(const KeptKey&) {}
    KeptKey& operator=(const KeptKey&) {
        key.reset();
        return *this;
    }
    provider::OpenedKeyPtr key;
    files::FileVersion file;
};

// One certificate. Texts are Windows-1251; paths are UTF-8.
struct CertRecord {
    std::string path;  // the certificate file
    // Key search results (the password cache); they take no part in the
    // order, so they may change while the record sits in the process list.
    mutable std::string keyPath;
    std::string DRFO, EDRPOU, Name, OrgNm, Issuer, Email, Title, PostalCode, Obl, Rayon, Adres, Tel, SN, IssuerSN,
        UnitName, EDDRU, Serial;
    int32_t Type = -1;
    int32_t DateBeg = 0, DateEnd = 0;
    uint32_t KeyUsage = 0, ExtKeyUsage = 0;
    bool IsQualified = false, IsKeyInDevice = false;
    std::vector<std::string> ExtKeyUsageExt;
    mutable int32_t libIndex = -1;      // crypto library table index
    mutable SecretString keptPassword;  // Windows-1251
    mutable std::string keptOrigin;     // the Origin of the page that kept it (empty: none)
    mutable KeptKey keptKey;            // the key opened with it, while it is kept
    // The file's bytes as read when it was listed, and the version they are
    // of (taken before the read): a signer found in the list is not read
    // from disk again while its file stays that version.
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    files::FileVersion version;
};

// By DRFO, then EDRPOU (bytes compared unsigned), then DateBeg, then Serial;
// a record equal in all four is a duplicate.
struct CertOrder {
    bool operator()(const CertRecord& a, const CertRecord& b) const;
};
using CertList = std::set<CertRecord, CertOrder>;

// Fills the caller's list with the current certificates, building the
// process list first when it is not built.
void CertListGet(CertList& list);
// Marks the list as not built (which forgets every kept password and kept
// key, and every kept token session: TokenSessions.h); with a filter, also
// removes from the process list every record that passes it.
void CertListClear(const CertFilter* filter = nullptr);

// Called at each rebuild of the process list, before its scan (the host then
// watches the user's folders afresh: SKListFunc.h WatchedFolders).
void SetCertListRebuildListener(std::function<void()> listener);

// Runs f on the process list under the list lock; f may change the records'
// key search fields and clear built (invalidation while the lock is held,
// which closes the kept keys; the kept token sessions go after it).
void WithProcessCertList(const std::function<void(CertList& list, bool& built)>& f);

// Parses one certificate: 0 with the record (path = the given path) and its
// crypto library code ("USC", "QLB", "UA1"), or a return code.
int GetCertFlInfo(const uint8_t* data, size_t len, const std::string& path, CertRecord& record,
                  std::string& libCode);

// ZKLCTX_GetCertInfo on a record prepared as the provider expects; on 0 the
// extended key usage identifiers are in eku. The identifier buffer is the
// call's own: info.ExtKeyUsageOids is null afterwards.
// Logged at site.
int ReadCertInfo(const uint8_t* data, size_t len, ProviderCertInfo& info, std::vector<std::string>& eku,
                 const provider::Site& site = {});
// The record's facts from a filled ProviderCertInfo (path and key fields untouched).
void FillCertRecord(const ProviderCertInfo& info, const std::vector<std::string>& eku, CertRecord& record);

// Latin transliteration replaced by Windows-1251 Cyrillic; digits and other
// characters are kept.
std::string ToCyrillic(std::string_view text);

// Recomputes the mask of fixed drives when it is older than 61 seconds.
void RefreshDrives();
// The roots of the certificate and key scans, in order: removable and CD-ROM
// drives (and drives mounted since the mask was computed), the "Cert" folder,
// the user certificate folder and CertPath, each when set. Refreshes the mask.
std::vector<std::string> DiscoveryRoots();

}  // namespace zk
