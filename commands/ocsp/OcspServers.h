// The OCSP servers registered by issuer (GET_VERSION's OCSPServers), looked
// up by the issuer's serial number (IssuerSN) when a check names no server.
//
// A registration made by a page serves that page's origin alone: it is kept
// in memory beside the origin for the run and never reaches a file, so that
// one site cannot send another site's OCSP requests (with the certificates
// they name) to an address of its choosing. Registrations made by a program
// of the user (a request without Origin) and those of the configuration live
// in section "ocspServers" of Params.ini and serve everybody.
//
// Both stores have the bounds of the settings files (platform/Profile):
// 1,024 registrations, 1,023 characters per issuer and address, 1 MiB in all
// (per origin in memory, where at most kMaxPageOrigins origins are kept: a
// new one beyond them pushes out the one that registered longest ago).
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace zk {

constexpr size_t kMaxPageOrigins = 32;

struct OcspServerEntry {
    std::string issuerSN;  // Windows-1251
    std::string address;
};

enum class RegisterResult {
    Kept,
    TooLarge,  // beyond the bounds; none of the entries kept
    Failed,    // Params.ini could not be written; none of the entries kept
};

// Keeps the entries for the current request (a later entry for the same
// issuer replaces an earlier one, names compared without regard to case):
// all of them or none. Entries whose texts the settings file cannot hold as
// one line (platform/Profile ValidEntry) must be left out by the caller.
RegisterResult RegisterOcspServers(const std::vector<OcspServerEntry>& entries);

struct RegisteredOcspServer {
    std::string address;
    bool configured = false;  // from Params.ini: the user's, not a page's
};

// The address registered for the issuer: the current origin's own
// registration first, then Params.ini's; nothing when neither has one.
std::optional<RegisteredOcspServer> FindOcspServer(const std::string& issuerSN);

// Drops every page registration (tests).
void ForgetPageOcspServersForTesting();

}  // namespace zk
