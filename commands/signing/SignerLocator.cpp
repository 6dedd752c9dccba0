#include "commands/signing/SignerLocator.h"

#include <cstdlib>
#include <cstring>

#include "commands/Messages.h"
#include "base/Params.h"
#include "base/TextHelpers.h"
#include "discovery/CertListFunc.h"
#include "discovery/FolderScan.h"
#include "discovery/IssuerClass.h"
#include "discovery/SKListFunc.h"
#include "base/Log.h"
#include "base/CBase64.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "provider/Provider.h"

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
    return kOk;
}

int ReadCertificate(const std::vector<uint8_t>& cert, ProviderCertInfo& info) {
    std::vector<std::string> eku;
    ZLOG("LocateSigner", "Before GetCertInfo");
    int rc = ReadCertInfo(cert.data(), cert.size(), info, eku);
    ZLOG("LocateSigner", "After GetCertInfo, Return: %d", rc);
    return rc;
}

bool IsCandidate(const SignerParams& p, const CertRecord& r) {
    return (p.type < 0 || p.type == r.Type) && (p.drfo.empty() || p.drfo == r.DRFO || p.drfo == r.EDRPOU) &&
           (p.serial.empty() || p.serial == r.Serial) && (p.issuerSN.empty() || p.issuerSN == r.IssuerSN) &&
           (p.sn.empty() || p.sn == r.SN);
}

std::optional<std::vector<uint8_t>> ReadListedFile(const std::string& path) {
    auto bytes = files::ReadAll(path, kMaxScannedFile);
    if (!bytes || bytes->empty()) {
        CertListClear();  // the list no longer matches the disk
        return std::nullopt;
    }
    return bytes;
}

// --- step 1: a hardware key token ---

void Disconnect(ZKTokenKey handle) {
    if (!handle) return;
    ZLOG("LocateSigner", "Before DisconnectKey");
    int rc = provider::Call<&provider::Exports::ZKLDongles_DisconnectKey>(handle);
    ZLOG("LocateSigner", "After DisconnectKey, Return: %d", rc);
}

// Opens the named key with its own password; the new handle replaces the
// token's, which is disconnected.
int OpenNamedKey(SignerLocation& loc, const std::string& keyId, const SecretString& keyPass) {
    ZKTokenKey named = 0;
    ZLOG("LocateSigner", "Before ConnectNamedKey2");
    int rc = provider::Call<&provider::Exports::ZKLDongles_ConnectNamedKey2>(loc.tokenKey, nullptr, keyId.c_str(),
                                                                             keyPass.c_str(), &named);
    ZLOG("LocateSigner", "After ConnectNamedKey2, Return: %d", rc);
    if (rc == 0) {
        loc.DisconnectToken();
        loc.tokenKey = named;
    }
    return rc;
}

std::vector<std::string> TokenKeyIds(ZKTokenKey token, int& code) {
    int32_t count = 0;
    ZLOG("LocateSigner", "Before EnumTokenKeys");
    code = provider::Call<&provider::Exports::ZKLDongles_EnumTokenKeys>(token, nullptr, &count);
    std::vector<TokenKey> keys(count > 0 ? static_cast<size_t>(count) : 0);
    if (code == 0 && !keys.empty())
        code = provider::Call<&provider::Exports::ZKLDongles_EnumTokenKeys>(token, keys.data(), &count);
    ZLOG("LocateSigner", "After EnumTokenKeys, Return: %d", code);
    std::vector<std::string> ids;
    if (code != 0) return ids;
    for (int32_t i = 0; i < count && static_cast<size_t>(i) < keys.size(); ++i)
        ids.emplace_back(keys[i].Id, strnlen(keys[i].Id, sizeof keys[i].Id));
    if (ids.empty()) code = kNoCertFile;
    return ids;
}

void LocateOnToken(const SignerParams& p, SignerLocation& loc) {
    // "PIN\r\nkey password" names a key of its own on the token.
    const std::string& whole = p.pass.text.str();
    const size_t split = whole.find("\r\n");
    const SecretString pin(whole.substr(0, split));
    const bool named = split != std::string::npos;
    const SecretString keyPass(named ? whole.substr(split + 2) : std::string());

    ZLOG("LocateSigner", "Before ConnectKey");
    loc.code = provider::Call<&provider::Exports::ZKLDongles_ConnectKey>(p.dongleProvider.c_str(), p.dongleSlot,
                                                                        pin.c_str(), &loc.tokenKey);
    ZLOG("LocateSigner", "After ConnectKey, Return: %d", loc.code);
    if (loc.code != 0) {
        loc.tokenKey = 0;
        return;
    }
    loc.password = p.pass.text;

    if (p.senderCert) {
        ProviderCertInfo info;
        if ((loc.code = ReadCertificate(*p.senderCert, info))) return;
        if (named && (loc.code = OpenNamedKey(loc, std::string(info.Serial, strnlen(info.Serial, sizeof info.Serial)),
                                              keyPass)))
            return;
        loc.cert = *p.senderCert;
        loc.code = ChooseLibrary(p, LibraryCodeForClass(ClassifyIssuer(IssuerSNOf(info))), -1, loc.libIndex);
        return;
    }

    std::vector<std::string> ids;
    if (!named) {
        ids = TokenKeyIds(loc.tokenKey, loc.code);
        if (loc.code != 0) return;
    }
    CertList list;
    CertListGet(list);
    const CertRecord* found = nullptr;
    for (const CertRecord& r : list) {
        if (!IsCandidate(p, r)) continue;
        bool matches = false;
        if (named)
            matches = OpenNamedKey(loc, r.Serial, keyPass) == 0;
        else
            for (const std::string& id : ids) matches = matches || StartsWithNoCase(r.Serial, id);
        if (matches) {
            found = &r;
            break;
        }
    }
    auto bytes = found ? ReadListedFile(found->path) : std::nullopt;
    if (!bytes) {
        loc.code = kNoCertFile;
        return;
    }
    loc.cert = std::move(*bytes);
    if ((loc.code = ChooseLibrary(p, "", found->libIndex, loc.libIndex))) return;
    ZLOG("LocateSigner", "Before CheckKeyPair");
    loc.code = provider::CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(loc.libIndex, nullptr, loc.tokenKey, loc.cert.data(),
                                                            static_cast<uint32_t>(loc.cert.size()), loc.password.c_str());
    ZLOG("LocateSigner", "After CheckKeyPair, Return: %d", loc.code);
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
    ZLOG("LocateSigner", "Before CheckKeyPair");
    KeyCheck check = CheckKeyBytes(key.data(), key.size(), in, p.pass.text.str());
    ZLOG("LocateSigner", "After CheckKeyPair, Return: %d", check.code);
    if ((loc.code = check.code)) return;
    if (!check.opened) {
        loc.code = kWrongPassword;
        return;
    }
    loc.cert = *p.senderCert;
    loc.key = SecretBytes(key);
    loc.password = p.pass.text;
}

// --- step 3: the certificate list and the key search ---

// When Serial names one key of a file that holds two, only that key is used.
void KeepNamedKey(const SignerParams& p, SignerLocation& loc) {
    if (p.serial.empty()) return;
    const std::vector<uint8_t>& file = loc.key.bytes();
    std::vector<uint8_t> key1(ZK_KEY_BUFFER_SIZE), key2(ZK_KEY_BUFFER_SIZE);
    uint32_t len1 = ZK_KEY_BUFFER_SIZE, len2 = ZK_KEY_BUFFER_SIZE;
    char id1[ZK_ID_TEXT_SIZE] = {}, id2[ZK_ID_TEXT_SIZE] = {};
    ZLOG("LocateSigner", "Before AcquireKey");
    int rc = provider::Call<&provider::Exports::ZKLSVC_AcquireKey>(file.data(), static_cast<uint32_t>(file.size()),
                                                                    loc.password.c_str(), key1.data(), &len1,
                                                                    key2.data(), &len2, id1, id2);
    ZLOG("LocateSigner", "After AcquireKey, Return: %d", rc);
    key1.resize(std::min<size_t>(len1, key1.size()));
    key2.resize(std::min<size_t>(len2, key2.size()));
    if (rc == 0) {
        if (EqualNoCase(p.serial, std::string(id1, strnlen(id1, sizeof id1))))
            loc.key = SecretBytes(std::move(key1));
        else if (EqualNoCase(p.serial, std::string(id2, strnlen(id2, sizeof id2))))
            loc.key = SecretBytes(std::move(key2));
    }
    SecureWipe(key1);
    SecureWipe(key2);
}

void LocateInCertList(const SignerParams& p, SignerLocation& loc) {
    CertList list;
    CertListGet(list);
    loc.code = kNoCertFile;  // no candidate at all
    const CertRecord* winner = nullptr;
    KeySearchResult search;
    for (const CertRecord& r : list) {
        if (!IsCandidate(p, r)) continue;
        auto bytes = ReadListedFile(r.path);
        if (!bytes) {
            loc.code = kNoCertFile;
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
    auto key = files::ReadAll(search.keyPath, kMaxScannedFile);
    if (!key || key->empty()) {
        CertListClear();
        loc.code = kNoKeyFile;
        return;
    }
    loc.key = SecretBytes(std::move(*key));
    loc.password = search.password;
    KeepNamedKey(p, loc);
    if (!search.opened) loc.code = kWrongPassword;
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
        tokenKey = std::exchange(other.tokenKey, 0);
        libIndex = other.libIndex;
        password = other.password;
        other.password.clear();
    }
    return *this;
}

SignerLocation::~SignerLocation() { DisconnectToken(); }

void SignerLocation::DisconnectToken() { Disconnect(std::exchange(tokenKey, 0)); }

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

int SelectOfferedLibrary(const std::string& code, int32_t& libIndex) {
    libIndex = -1;
    if (!provider::IsLibraryLoaded(code.c_str())) return kProviderNotSupported;
    libIndex = provider::SelectLibrary(code.c_str());
    return libIndex < 0 ? kProviderNotSupported : kOk;
}

}  // namespace zk
