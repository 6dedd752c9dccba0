#include "commands/ocsp/OcspServers.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <strings.h>

#include "base/RequestContext.h"
#include "base/Settings.h"
#include "platform/Profile.h"

namespace zk {
namespace {

constexpr const char* kSection = "ocspServers";

// Issuers compared as the settings file compares its keys.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

struct OriginServers {
    std::map<std::string, std::string, NoCase> byIssuer;
    size_t bytes = 0;             // as the lines of a settings file would take them
    uint64_t lastRegistered = 0;  // g_clock at the last registration
};

std::mutex g_lock;  // guards the two below
std::map<std::string, OriginServers> g_pages;
uint64_t g_clock = 0;

size_t LineBytes(const std::string& issuer, const std::string& address) { return issuer.size() + address.size() + 3; }

RegisterResult RegisterForPage(const std::string& origin, const std::vector<OcspServerEntry>& entries) {
    for (const OcspServerEntry& e : entries)
        if (e.issuerSN.size() > Profile::kMaxText || e.address.size() > Profile::kMaxText)
            return RegisterResult::TooLarge;
    std::lock_guard lock(g_lock);
    const auto found = g_pages.find(origin);
    OriginServers updated = found != g_pages.end() ? found->second : OriginServers{};
    for (const OcspServerEntry& e : entries) {
        auto [at, added] = updated.byIssuer.try_emplace(e.issuerSN, e.address);
        if (!added) {
            updated.bytes -= LineBytes(at->first, at->second);
            at->second = e.address;
        }
        updated.bytes += LineBytes(at->first, at->second);
    }
    if (updated.byIssuer.size() > Profile::kMaxEntries || updated.bytes > Profile::kMaxFileBytes)
        return RegisterResult::TooLarge;
    updated.lastRegistered = ++g_clock;
    if (found == g_pages.end() && g_pages.size() >= kMaxPageOrigins) {
        auto oldest = g_pages.begin();
        for (auto it = g_pages.begin(); it != g_pages.end(); ++it)
            if (it->second.lastRegistered < oldest->second.lastRegistered) oldest = it;
        g_pages.erase(oldest);
    }
    g_pages[origin] = std::move(updated);
    return RegisterResult::Kept;
}

RegisterResult RegisterInSettings(const std::vector<OcspServerEntry>& entries) {
    std::vector<Profile::Entry> list;
    for (const OcspServerEntry& e : entries) list.emplace_back(e.issuerSN, e.address);
    std::lock_guard lock(SettingsLock());  // Params.ini is rewritten whole
    switch (Profile::WriteEntries(ParamsIniPath(), kSection, list)) {
        case Profile::WriteResult::Written:
            return RegisterResult::Kept;
        case Profile::WriteResult::TooLarge:
            return RegisterResult::TooLarge;
        case Profile::WriteResult::Invalid:
        case Profile::WriteResult::Failed:
            break;
    }
    return RegisterResult::Failed;
}

}  // namespace

RegisterResult RegisterOcspServers(const std::vector<OcspServerEntry>& entries) {
    if (entries.empty()) return RegisterResult::Kept;
    const std::string& origin = CurrentRequest().origin;
    return origin.empty() ? RegisterInSettings(entries) : RegisterForPage(origin, entries);
}

std::optional<RegisteredOcspServer> FindOcspServer(const std::string& issuerSN) {
    if (issuerSN.empty()) return std::nullopt;
    if (const std::string& origin = CurrentRequest().origin; !origin.empty()) {
        std::lock_guard lock(g_lock);
        if (const auto page = g_pages.find(origin); page != g_pages.end())
            if (const auto at = page->second.byIssuer.find(issuerSN); at != page->second.byIssuer.end())
                return RegisteredOcspServer{at->second, false};
    }
    std::string value;
    {
        std::lock_guard lock(SettingsLock());  // Params.ini is rewritten whole
        value = Profile::GetString(ParamsIniPath(), kSection, issuerSN, "", Profile::kMaxText);
    }
    if (value.empty()) return std::nullopt;
    return RegisteredOcspServer{value, true};
}

void ForgetPageOcspServersForTesting() {
    std::lock_guard lock(g_lock);
    g_pages.clear();
}

}  // namespace zk
