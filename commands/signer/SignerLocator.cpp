#include "commands/signer/SignerLocator.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "commands/Messages.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "platform/IssuerClass.h"
#include "discovery/keys/SKListFunc.h"
#include "discovery/keys/TokenPins.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "provider/Operations.h"

namespace zk {
namespace {

constexpr size_t kTextSize = 1024;

std::string Text(const tinyxml2::XMLElement* params, const char* name) {
    return ParamText(LastChild(params, name), kTextSize);
}

int32_t Number(const tinyxml2::XMLElement* params, const char* name, int32_t absent) {
    std::string text = ChildText(params, name);
    return text.empty() ? absent : static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

std::optional<std::vector<uint8_t>> Bytes(const tinyxml2::XMLElement* params, const char* name) {
    std::string text = ChildText(params, name);
    if (text.empty()) return std::nullopt;
    std::vector<uint8_t> bytes = Base64Decode(text);
    SecureWipe(text);
    return bytes;
}

std::string IssuerSNOf(const ProviderCertInfo& info) {
    return std::string(info.IssuerSN, strnlen(info.IssuerSN, sizeof info.IssuerSN));
}

// The library named by Lib, else the fallback code or index.
int ChooseLibrary(const SignerParams& p, const std::string& fallbackCode, int32_t fallbackIndex, int32_t& libIndex) {
    if (!p.lib.empty()) return SelectOfferedLibrary(p.lib, libIndex);
    if (!fallbackCode.empty()) return SelectOfferedLibrary(fallbackCode, libIndex);
    libIndex = fallbackIndex;
    return ZK_E_OK;
}

int ReadCertificate(const std::vector<uint8_t>& cert, ProviderCertInfo& info) {
    std::vector<std::string> eku;
    return ReadCertInfo(cert.data(), cert.size(), info, eku, ZK_SITE("LocateSigner"));
}

bool IdsMatch(const std::string& serial, const std::string& issuerSN, const std::string& sn, const CertRecord& r) {
    return (serial.empty() || serial == r.Serial) && (issuerSN.empty() || issuerSN == r.IssuerSN) &&
           (sn.empty() || sn == r.SN);
}

bool IsCandidate(const SignerParams& p, const CertRecord& r) {
    if (!(p.type < 0 || p.type == r.Type) || !(p.drfo.empty() || p.drfo == r.DRFO || p.drfo == r.EDRPOU) ||
        !IdsMatch(p.serial, p.issuerSN, p.sn, r))
        return false;
    if (p.oneOf.empty()) return true;
    for (const SignerParams::CertIds& ids : p.oneOf)
        if ((!ids.serial.empty() || !ids.issuerSN.empty() || !ids.sn.empty()) &&
            IdsMatch(ids.serial, ids.issuerSN, ids.sn, r))
            return true;
    return false;
}

std::optional<std::vector<uint8_t>> ReadListedFile(const CertRecord& record) {
    if (record.bytes && files::VersionOf(record.path) == record.version) return *record.bytes;
    auto bytes = files::ReadAll(record.path, kMaxScannedFile);
    if (!bytes || bytes->empty()) {
        CertListClear();  // the list no longer matches the disk
        return std::nullopt;
    }
    return bytes;
}

// --- step 1: a hardware key token ---

// Opens the named key with its own password; the new handle replaces the
// token's, which is disconnected.
int OpenNamedKey(const SignerParams& p, SignerLocation& loc, const std::string& keyId, const SecretString& keyPass) {
    ZKTokenKey named = 0;
    int rc = TryTokenPin(p.dongleProvider, p.dongleSlot, TokenPin::User, keyPass.str(), [&] {
        return provider::Invoke<ZK_EXPORT(ZKLDongles_ConnectNamedKey2)>(ZK_SITE("LocateSigner"), loc.token->handle(), nullptr,
                                                                        keyId.c_str(), keyPass.c_str(), &named);
    });
    if (rc == 0)
        loc.token = std::make_shared<const TokenSession>(ZK_SITE("LocateSigner"), p.dongleProvider, p.dongleSlot,
                                                         named);
    return rc;
}

std::vector<std::string> TokenKeyIds(ZKTokenKey token, int& code) {
    std::vector<TokenKey> keys;
    code = provider::DonglesEnumTokenKeys(ZK_SITE("LocateSigner"), token, keys);
    std::vector<std::string> ids;
    if (code != 0) return ids;
    for (const TokenKey& key : keys) ids.emplace_back(key.Id, strnlen(key.Id, sizeof key.Id));
    if (ids.empty()) code = ZK_E_NO_CERT_FILE;
    return ids;
}

// The token's keys, listed once per location (kNotListed: not yet).
constexpr int kNotListed = -1;
struct TokenKeyList {
    std::vector<std::string> ids;
    int code = kNotListed;
};

// The session kept for this origin and PIN, when it still answers (one call:
// the listing of the token's keys, which the certificate list search needs
// anyway); a session that fails with the token's error (pulled out) is
// forgotten, and the caller connects afresh. True when one serves.
bool ReuseKeptSession(const SignerParams& p, const SecretString& pin, SignerLocation& loc, TokenKeyList& keys) {
    TokenSessionPtr kept = KeptTokenSession(p.dongleProvider, p.dongleSlot, pin);
    if (!kept) return false;
    keys.ids = TokenKeyIds(kept->handle(), keys.code);
    if (keys.code == ZK_E_DONGLE) {
        ForgetTokenSession(kept);
        keys = {};
        return false;
    }
    loc.token = std::move(kept);
    return true;
}

// The certificate and library of the key on the connected token.
void FindOnToken(const SignerParams& p, bool named, const SecretString& keyPass, TokenKeyList& keys,
                 SignerLocation& loc) {
    if (p.senderCert) {
        ProviderCertInfo info;
        if ((loc.code = ReadCertificate(*p.senderCert, info))) return;
        if (named && (loc.code = OpenNamedKey(p, loc, std::string(info.Serial, strnlen(info.Serial, sizeof info.Serial)),
                                              keyPass)))
            return;
        loc.cert = *p.senderCert;
        loc.code = ChooseLibrary(p, LibraryCodeForClass(ClassifyIssuer(IssuerSNOf(info))), -1, loc.libIndex);
        return;
    }

    if (!named) {
        if (keys.code == kNotListed) keys.ids = TokenKeyIds(loc.token->handle(), keys.code);
        if ((loc.code = keys.code)) return;
    }
    CertList list;
    CertListGet(list);
    const CertRecord* found = nullptr;
    for (const CertRecord& r : list) {
        if (!IsCandidate(p, r)) continue;
        bool matches = false;
        if (named)
            matches = OpenNamedKey(p, loc, r.Serial, keyPass) == 0;
        else
            for (const std::string& id : keys.ids) matches = matches || StartsWithNoCase(r.Serial, id);
        if (matches) {
            found = &r;
            break;
        }
    }
    auto bytes = found ? ReadListedFile(*found) : std::nullopt;
    if (!bytes) {
        loc.code = ZK_E_NO_CERT_FILE;
        return;
    }
    loc.cert = std::move(*bytes);
    if ((loc.code = ChooseLibrary(p, "", found->libIndex, loc.libIndex))) return;
    loc.code = provider::Invoke<ZK_METHOD(ZKLD_SLOT_CHECK_KEY_PAIR)>(ZK_SITE("LocateSigner"), loc.libIndex, loc.Key(),
                                                                     loc.cert, loc.password.c_str());
}

// A page that keeps its PIN (Preserve) keeps the token's session with it:
// later requests of its origin with that PIN use it without logging in again
// (TokenSessions.h). A named key ("PIN\r\nkey password") is a connection of
// its own and is not kept; an empty PIN never uses a kept session.
void LocateOnToken(const SignerParams& p, SignerLocation& loc) {
    // "PIN\r\nkey password" names a key of its own on the token.
    const std::string& whole = p.pass.text.str();
    const size_t split = whole.find("\r\n");
    const SecretString pin(whole.substr(0, split));
    const bool named = split != std::string::npos;
    const SecretString keyPass(named ? whole.substr(split + 2) : std::string());
    const bool keep = p.pass.preserve && !named && !pin.empty();

    TokenKeyList keys;
    const bool reused = keep && ReuseKeptSession(p, pin, loc, keys);
    if (!reused &&
        (loc.code = ConnectTokenSession(ZK_SITE("LocateSigner"), p.dongleProvider, p.dongleSlot, pin.c_str(), loc.token)))
        return;
    loc.password = p.pass.text;
    FindOnToken(p, named, keyPass, keys, loc);
    if (keep && !reused && loc.code == 0) KeepTokenSession(p.dongleProvider, p.dongleSlot, pin, loc.token);
}

// --- step 2: certificate and key bytes sent by the page ---

void LocateFromBytes(const SignerParams& p, SignerLocation& loc) {
    ProviderCertInfo info;
    if ((loc.code = ReadCertificate(*p.senderCert, info))) return;
    if ((loc.code = ChooseLibrary(p, LibraryCodeForClass(ClassifyIssuer(IssuerSNOf(info))), -1, loc.libIndex)))
        return;
    KeySearchInput in;
    in.cert = p.senderCert->data();
    in.certLen = p.senderCert->size();
    in.libIndex = loc.libIndex;
    const std::vector<uint8_t>& key = p.senderKey->bytes();
    KeyCheck check = CheckKeyBytes(key.data(), key.size(), in, p.pass.text.str(), ZK_SITE("LocateSigner"));
    if ((loc.code = check.code)) return;
    if (!check.opened) {
        loc.code = ZK_E_SIGN_OR_PASSWORD;
        return;
    }
    loc.cert = *p.senderCert;
    if (check.key)
        loc.opened = std::move(check.key);  // the check's opening serves the operation
    else
        loc.key = SecretBytes(key);
    loc.password = p.pass.text;
}

// --- step 3: the certificate list and the key search ---

// When Serial names one key of a file that holds two, only that key is used.
void KeepNamedKey(const SignerParams& p, SignerLocation& loc) {
    if (p.serial.empty()) return;
    provider::AcquiredKeys keys;
    int rc = provider::AcquireKey(ZK_SITE("LocateSigner"), loc.key.bytes(), loc.password.c_str(), keys);
    if (rc == 0) {
        if (EqualNoCase(p.serial, keys.ids.id1))
            loc.key = std::move(keys.key1);
        else if (EqualNoCase(p.serial, keys.ids.id2))
            loc.key = std::move(keys.key2);
    }
}

void LocateInCertList(const SignerParams& p, SignerLocation& loc) {
    CertList list;
    CertListGet(list);
    loc.code = ZK_E_NO_CERT_FILE;  // no candidate at all
    const CertRecord* winner = nullptr;
    KeySearchResult search;
    for (const CertRecord& r : list) {
        if (!IsCandidate(p, r)) continue;
        auto bytes = ReadListedFile(r);
        if (!bytes) {
            loc.code = ZK_E_NO_CERT_FILE;
            continue;
        }
        KeySearchInput in;
        in.certPath = r.path;
        in.cert = bytes->data();
        in.certLen = bytes->size();
        in.password = p.pass.text.str();
        in.preserve = p.pass.preserve;
        in.libIndex = r.libIndex;
        in.passwordRequired = true;
        search = FindCertKey(in);
        loc.code = search.code;
        loc.detail = search.detail;
        if (search.code == 0) {
            winner = &r;
            loc.cert = std::move(*bytes);
            break;
        }
    }
    if (!winner) return;
    if ((loc.code = ChooseLibrary(p, "", winner->libIndex, loc.libIndex))) return;
    loc.password = search.password;
    if (search.key && search.opened) {
        // Open already (by the search's check, or kept with the password): it
        // is the certificate's own key, the one Serial names.
        loc.opened = std::move(search.key);
        return;
    }
    auto key = files::ReadAll(search.keyPath, kMaxScannedFile);
    if (!key || key->empty()) {
        CertListClear();
        loc.code = ZK_E_NO_KEY_FILE;
        return;
    }
    loc.key = SecretBytes(std::move(*key));
    KeepNamedKey(p, loc);
    if (!search.opened) loc.code = ZK_E_SIGN_OR_PASSWORD;
}

}  // namespace

PasswordParam ReadPasswordParam(const tinyxml2::XMLElement* params, const char* name) {
    PasswordParam pass;
    const tinyxml2::XMLElement* e = LastChild(params, name);
    std::string text = ElementText(e);
    pass.present = !text.empty();
    pass.preserve = IsTrueText(AttributeText(e, "Preserve"));
    if (pass.present) {
        SecretString utf8(Base64DecodeToString(text));
        pass.text = Utf8ToCp1251(utf8.str());
    }
    SecureWipe(text);
    return pass;
}

bool SignerParams::Sufficient() const {
    return (senderCert && (senderKey || !dongleProvider.empty())) || !drfo.empty() || !serial.empty();
}

SignerParams ReadSignerParams(const tinyxml2::XMLElement* params, unsigned fields) {
    SignerParams p;
    if (!params) return p;
    if (fields & kSignerWithLib) p.lib = Text(params, "Lib");
    p.drfo = Text(params, "DRFO");
    p.type = Number(params, "Type", -1);
    p.serial = Text(params, "Serial");
    p.pass = ReadPasswordParam(params);
    p.senderCert = Bytes(params, "SenderCert");
    if (auto key = Bytes(params, "SenderSK")) p.senderKey = SecretBytes(std::move(*key));
    p.dongleProvider = Text(params, "DongleProviderName");
    p.dongleSlot = Number(params, "DongleSlotId", 0);
    return p;
}

SignerLocation::SignerLocation(SignerLocation&& other) noexcept { *this = std::move(other); }

SignerLocation& SignerLocation::operator=(SignerLocation&& other) noexcept {
    if (this != &other) {
        DisconnectToken();
        code = other.code;
        detail = other.detail;
        cert = std::move(other.cert);
        key = std::move(other.key);
        token = std::move(other.token);
        opened = std::move(other.opened);
        libIndex = other.libIndex;
        password = other.password;
        other.password.clear();
    }
    return *this;
}

SignerLocation::~SignerLocation() { DisconnectToken(); }

void SignerLocation::DisconnectToken() { token.reset(); }

SignerLocation LocateSigner(const SignerParams& p) {
    SignerLocation loc;
    if (!p.dongleProvider.empty())
        LocateOnToken(p, loc);
    else if (p.senderCert && p.senderKey)
        LocateFromBytes(p, loc);
    else
        LocateInCertList(p, loc);
    ZLOG("LocateSigner", "Return: %d, Detailing: %d", loc.code, loc.detail);
    return loc;
}

int FindCertificateOnly(const SignerParams& params, std::vector<uint8_t>& cert) {
    cert.clear();
    CertList list;
    CertListGet(list);
    for (const CertRecord& r : list) {
        if (!IsCandidate(params, r)) continue;
        auto bytes = ReadListedFile(r);
        if (!bytes) break;
        cert = std::move(*bytes);
        return ZK_E_OK;
    }
    return ZK_E_NO_CERT_FILE;
}

int SelectOfferedLibrary(const std::string& code, int32_t& libIndex) {
    libIndex = -1;
    if (!provider::IsLibraryLoaded(code.c_str())) return ZK_E_PROVIDER_NOT_SUPPORTED;
    libIndex = provider::SelectLibrary(code.c_str());
    return libIndex < 0 ? ZK_E_PROVIDER_NOT_SUPPORTED : ZK_E_OK;
}

}  // namespace zk
