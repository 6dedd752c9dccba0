#include "discovery/CertListFunc.h"

#include <cstring>
#include <mutex>

#include "discovery/CertFilter.h"
#include "discovery/CertStorage.h"
#include "discovery/FolderScan.h"
#include "platform/IssuerClass.h"
#include "discovery/keys/TokenSessions.h"
#include "base/Log.h"
#include "base/Settings.h"
#include "platform/CodePage.h"
#include "platform/Drives.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

std::mutex g_lock;  // guards g_list, g_built and the records' key search fields
CertList g_list;
bool g_built = false;

const Extensions kCertExtensions = {".crt", ".cer"};

// A list that is not built serves no kept password: their keys go at once.
void ForgetKeptKeys() {
    for (const CertRecord& r : g_list) r.keptKey.key.reset();
}

template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

void AddCert(const std::string& path, CertList& list) {
    ZLOG("_AddCert", "Process: '%s'", path.c_str());
    const std::optional<files::FileVersion> version = files::VersionOf(path);
    auto data = files::ReadAll(path, kMaxScannedFile);
    if (!data || data->empty() || !version) return;
    ZLOG("_AddCert", "Before GetCertFlInfo");
    CertRecord record;
    record.version = *version;
    std::string libCode;
    int rc = GetCertFlInfo(data->data(), data->size(), path, record, libCode);
    ZLOG("_AddCert", "After GetCertFlInfo");
    if (rc != 0) {
        ZLOG("_AddCert", "Process: '%s', GetCertFlInfo, Return: %d", path.c_str(), rc);
        return;
    }
    ZLOG("_AddCert", "Before insert");
    record.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(*data));
    if (list.insert(std::move(record)).second) {
        ZLOG("_AddCert", "Added: '%s'", path.c_str());
        if (libCode == "UA1") StoreCertCopy(path);
    } else {
        ZLOG("_AddCert", "Duplicated: '%s'", path.c_str());
    }
}

void ScanCertFolder(const std::string& root, CertList& list) {
    ScanFolder(root, 0, "_CertListGet", __FILE__, kCertExtensions,
               [&](const std::string& path) {
                   AddCert(path, list);
                   return true;
               });
}

// Transliteration groups; the first letter must match in case, the others
// in either case. Texts are UTF-8 here and converted once.
struct Group {
    const char* latin;
    const char* cyrillic;
};
constexpr Group kGroups[] = {
    {"Ye", "Є"}, {"Ie", "Є"}, {"ie", "є"},   {"Zh", "Ж"},   {"zh", "ж"}, {"Yi", "Ї"}, {"yi", "ї"}, {"Kh", "Х"},
    {"kh", "х"}, {"Ts", "Ц"}, {"ts", "ц"},   {"Ch", "Ч"},   {"ch", "ч"}, {"Shch", "Щ"}, {"shch", "щ"},
    {"Sh", "Ш"}, {"sh", "ш"}, {"Yu", "Ю"},   {"Iu", "Ю"},   {"iu", "ю"}, {"Ya", "Я"}, {"Ia", "Я"}, {"ia", "я"},
};
constexpr const char* kLetters[][2] = {
    {"A", "А"}, {"B", "Б"}, {"V", "В"}, {"H", "Г"}, {"G", "Ґ"}, {"D", "Д"}, {"E", "Е"}, {"Z", "З"}, {"Y", "И"},
    {"I", "І"}, {"K", "К"}, {"L", "Л"}, {"M", "М"}, {"N", "Н"}, {"O", "О"}, {"P", "П"}, {"R", "Р"}, {"S", "С"},
    {"T", "Т"}, {"U", "У"}, {"F", "Ф"},
};

struct Transliteration {
    std::vector<std::pair<std::string, std::string>> groups;  // Latin, Windows-1251
    std::string upper[26], lower[26];                          // by Latin letter
    Transliteration() {
        for (const Group& g : kGroups) groups.emplace_back(g.latin, Utf8ToCp1251(g.cyrillic));
        for (const auto& l : kLetters) {
            std::string cyr = Utf8ToCp1251(l[1]);
            upper[l[0][0] - 'A'] = cyr;
            lower[l[0][0] - 'A'] = std::string(1, static_cast<char>(LowerCp1251(static_cast<unsigned char>(cyr[0]))));
        }
    }
};

bool MatchesGroup(std::string_view text, const std::string& latin) {
    if (text.size() < latin.size() || text[0] != latin[0]) return false;
    return EqualNoCase(text.substr(1, latin.size() - 1), std::string_view(latin).substr(1));
}

}  // namespace

bool CertOrder::operator()(const CertRecord& a, const CertRecord& b) const {
    if (int c = a.DRFO.compare(b.DRFO)) return c < 0;
    if (int c = a.EDRPOU.compare(b.EDRPOU)) return c < 0;
    if (a.DateBeg != b.DateBeg) return a.DateBeg < b.DateBeg;
    return a.Serial.compare(b.Serial) < 0;
}

void RefreshDrives() { drives::SystemDriveMask().Refresh(); }

std::vector<std::string> DiscoveryRoots() {
    RefreshDrives();
    std::vector<std::string> roots = drives::SystemDriveMask().DrivesToScan();
    roots.push_back(WorkFolder("Cert"));
    if (std::string user = UserCertFolder(); !user.empty()) roots.push_back(user);
    if (!Host().certPath.empty()) roots.push_back(Host().certPath);
    return roots;
}

namespace {

std::mutex g_listenerLock;
std::function<void()> g_rebuildListener;

void RebuildStarts() {
    std::function<void()> listener;
    {
        std::lock_guard hold(g_listenerLock);
        listener = g_rebuildListener;
    }
    if (listener) listener();
}

}  // namespace

void SetCertListRebuildListener(std::function<void()> listener) {
    std::lock_guard hold(g_listenerLock);
    g_rebuildListener = std::move(listener);
}

void CertListGet(CertList& list) {
    {
        std::unique_lock lock(g_lock);
        if (g_built) {
            list = g_list;
            lock.unlock();
            ZLOG("CertListGet", "Actual. Found '%u' certificate(s)", static_cast<unsigned>(list.size()));
            return;
        }
    }
    ZLOG("CertListGet", "Rebuild");
    RebuildStarts();  // a change from here on is noticed
    list.clear();
    for (const std::string& root : DiscoveryRoots()) ScanCertFolder(root, list);
    {
        std::lock_guard lock(g_lock);
        g_list = list;
        g_built = true;
    }
    ZLOG("CertListGet", "Found '%u' certificate(s)", static_cast<unsigned>(list.size()));
}

void CertListClear(const CertFilter* filter) {
    {
        std::lock_guard lock(g_lock);
        g_built = false;
        ForgetKeptKeys();
        if (filter) {
            const time_t now = time(nullptr);
            std::erase_if(g_list, [&](const CertRecord& r) { return CertPasses(*filter, r, now); });
        }
    }
    ForgetTokenSessions();  // kept PINs go with the kept passwords (outside the lock: it calls the tokens)
}

void WithProcessCertList(const std::function<void(CertList& list, bool& built)>& f) {
    bool invalidated = false;
    {
        std::lock_guard lock(g_lock);
        const bool wasBuilt = g_built;
        f(g_list, g_built);
        if (!g_built) ForgetKeptKeys();
        invalidated = wasBuilt && !g_built;
    }
    if (invalidated) ForgetTokenSessions();
}

int ReadCertInfo(const uint8_t* data, size_t len, ProviderCertInfo& info, std::vector<std::string>& eku,
                 const provider::Site& site) {
    std::vector<ZKName> oids(ZK_EKU_SLOTS);
    std::memset(&info, 0, sizeof info);
    info.Reserved2404 = 255;
    info.Type = -1;
    info.ExtKeyUsageOids = oids.data();
    info.ExtKeyUsageSlots = ZK_EKU_SLOTS;
    int rc = provider::Invoke<ZK_EXPORT(ZKLCTX_GetCertInfo)>(site, provider::ByteView(data, len), &info);
    info.ExtKeyUsageOids = nullptr;
    eku.clear();
    if (rc == 0) {
        const int32_t written = info.ExtKeyUsageSlots;  // packed field: read by value
        int count = std::min<int32_t>(std::max<int32_t>(written, 0), ZK_EKU_SLOTS);
        for (int i = 0; i < count; ++i) eku.push_back(FieldText(oids[i]));
    }
    return rc;
}

void FillCertRecord(const ProviderCertInfo& info, const std::vector<std::string>& eku, CertRecord& r) {
    r.DRFO = FieldText(info.DRFO);
    r.EDRPOU = FieldText(info.EDRPOU);
    r.Name = FieldText(info.Name);
    r.OrgNm = FieldText(info.OrgNm);
    r.Issuer = FieldText(info.Issuer);
    r.Email = FieldText(info.Email);
    r.Title = FieldText(info.Title);
    r.PostalCode = FieldText(info.PostalCode);
    r.Obl = FieldText(info.Obl);
    r.Rayon = FieldText(info.Rayon);
    r.Adres = FieldText(info.Adres);
    r.Tel = FieldText(info.Tel);
    r.SN = FieldText(info.SN);
    r.IssuerSN = FieldText(info.IssuerSN);
    r.UnitName = FieldText(info.UnitName);
    r.EDDRU = FieldText(info.EDDRU);
    r.Serial = FieldText(info.Serial);
    r.Type = info.Type;
    r.DateBeg = info.DateBeg;
    r.DateEnd = info.DateEnd;
    r.KeyUsage = info.KeyUsage;
    r.ExtKeyUsage = info.ExtKeyUsage;
    r.IsQualified = info.IsQualified != 0;
    r.IsKeyInDevice = info.IsKeyInDevice != 0;
    r.ExtKeyUsageExt = eku;
    if (r.DRFO.empty()) r.DRFO = r.EDRPOU;
}

int GetCertFlInfo(const uint8_t* data, size_t len, const std::string& path, CertRecord& record,
                  std::string& libCode) {
    if (!data || len == 0) return 1;
    provider::SelectLibrary(provider::IsLibraryLoaded("QLB") ? "QLB" : "USC");
    ProviderCertInfo info;
    std::vector<std::string> eku;
    int rc = ReadCertInfo(data, len, info, eku, ZK_SITE_AS("GetCertFlInfo", "ZKLDCTX_GetCertInfo"));
    if (rc != 0) return rc;
    const char* code = LibraryCodeForClass(ClassifyIssuer(FieldText(info.IssuerSN)));
    if (!provider::IsLibraryLoaded(code)) return provider::kMissingOperation;
    int index = provider::SelectLibrary(code);
    ZLOG("GetCertFlInfo", "Before create cert record");
    FillCertRecord(info, eku, record);
    record.path = path;
    record.libIndex = index;
    ZLOG("GetCertFlInfo", "After create cert record");
    libCode = code;
    return 0;
}

std::string ToCyrillic(std::string_view text) {
    static const Transliteration t;
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            out += c;
            ++i;
            continue;
        }
        bool matched = false;
        for (const auto& [latin, cyrillic] : t.groups)
            if (MatchesGroup(text.substr(i), latin)) {
                out += cyrillic;
                i += latin.size();
                matched = true;
                break;
            }
        if (matched) continue;
        if (c >= 'A' && c <= 'Z' && !t.upper[c - 'A'].empty())
            out += t.upper[c - 'A'];
        else if (c >= 'a' && c <= 'z' && !t.lower[c - 'a'].empty())
            out += t.lower[c - 'a'];
        else
            out += c;
        ++i;
    }
    return out;
}

}  // namespace zk
