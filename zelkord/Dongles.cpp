// Hardware key tokens (the ZKLDongles_ exports) over PKCS#11: listing,
// connections, PINs, keys and files. Token texts are UTF-8; the contract's
// texts are Windows-1251.
//
// PKCS#11 tokens hold no named keys (key containers opened by name under a
// device password): their tokens are never stationary, list no named keys,
// and the named-key operations answer 16.
#include <cctype>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/Text.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/Output.h"
#include "zelkord/Registry.h"
#include "zelkord/TokenConnection.h"
#include "zelkord/TokenObjects.h"

namespace zkd {
namespace {

// Longest key label written to a token (UTF-8 bytes).
constexpr size_t kMaxLabel = 255;

// A text into a fixed field; cut at the field's size. A text that fills the
// field has no terminating zero (the field is zero-filled otherwise), so a
// PKCS#11 text of exactly the field's width (a 16-character serial number)
// is kept whole.
template <size_t N>
void PutField(char (&field)[N], const std::string& cp1251) {
    zk::WriteTextField(field, cp1251, zk::FieldEnd::MayFill);
}

// A text into a name field: always terminated.
template <size_t N>
void PutText(char (&field)[N], const std::string& cp1251) {
    zk::WriteTextField(field, cp1251);
}

template <size_t N>
void PutTokenText(char (&field)[N], const unsigned char* text, size_t size) {
    PutField(field, zk::Utf8ToCp1251(TrimBlanks(text, size)));
}

uint32_t Counter(CK_ULONG value) { return static_cast<uint32_t>(value > 0xFFFFFFFFul ? 0xFFFFFFFFul : value); }

TokenInfo Describe(const TokenProvider& provider, CK_SLOT_ID id, int32_t number) {
    TokenInfo t;
    std::memset(&t, 0, sizeof t);
    PutField(t.ProviderName, provider.name);
    t.SlotId = number;
    CK_FUNCTION_LIST& f = provider.module->f();
    CK_SLOT_INFO slot{};
    if (f.C_GetSlotInfo(id, &slot) == CKR_OK) {
        PutTokenText(t.SlotDescription, slot.slotDescription, sizeof slot.slotDescription);
        PutTokenText(t.SlotManufacturerID, slot.manufacturerID, sizeof slot.manufacturerID);
        t.SlotFlags = static_cast<uint32_t>(slot.flags);
        t.SlotHardwareVersionMajor = slot.hardwareVersion.major;
        t.SlotHardwareVersionMinor = slot.hardwareVersion.minor;
        t.SlotFirmwareVersionMajor = slot.firmwareVersion.major;
        t.SlotFirmwareVersionMinor = slot.firmwareVersion.minor;
    }
    CK_TOKEN_INFO token{};
    if (f.C_GetTokenInfo(id, &token) == CKR_OK) {
        PutTokenText(t.TokenLabel, token.label, sizeof token.label);
        PutTokenText(t.TokenManufacturerID, token.manufacturerID, sizeof token.manufacturerID);
        PutTokenText(t.TokenModel, token.model, sizeof token.model);
        PutTokenText(t.TokenSerialNumber, token.serialNumber, sizeof token.serialNumber);
        t.TokenFlags = static_cast<uint32_t>(token.flags);
        t.Counters[0] = Counter(token.ulMaxSessionCount);
        t.Counters[1] = Counter(token.ulSessionCount);
        t.Counters[2] = Counter(token.ulMaxRwSessionCount);
        t.Counters[3] = Counter(token.ulRwSessionCount);
        t.MaxPinLen = Counter(token.ulMaxPinLen);
        t.MinPinLen = Counter(token.ulMinPinLen);
        t.Memory[0] = Counter(token.ulTotalPublicMemory);
        t.Memory[1] = Counter(token.ulFreePublicMemory);
        t.Memory[2] = Counter(token.ulTotalPrivateMemory);
        t.Memory[3] = Counter(token.ulFreePrivateMemory);
        t.TokenHardwareVersionMajor = token.hardwareVersion.major;
        t.TokenHardwareVersionMinor = token.hardwareVersion.minor;
        t.TokenFirmwareVersionMajor = token.firmwareVersion.major;
        t.TokenFirmwareVersionMinor = token.firmwareVersion.minor;
        std::memcpy(t.Reserved276, token.utcTime, sizeof t.Reserved276);  // the token's clock, when it has one
    }
    t.Stationary = 0;
    return t;
}

// Every slot with a token (an uninitialised one too), by provider in file
// order, then in the module's slot order.
std::vector<TokenInfo> AllTokens() {
    std::vector<TokenInfo> all;
    for (const TokenProvider& p : TokenProviders()) {
        CK_ULONG count = 0;
        if (p.module->f().C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (count && p.module->f().C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(std::min<size_t>(count, slots.size()));
        for (CK_SLOT_ID id : slots) {
            int32_t number = 0;
            if (SlotNumber(id, number)) all.push_back(Describe(p, id, number));
        }
    }
    return all;
}

// Copies what fits the caller's array; the two-call pattern of the
// enumerations (null array: only the count).
template <typename Item, typename Out, typename Fill>
int PutArray(const std::vector<Item>& items, Out* out, int32_t* count, Fill&& fill) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
    if (!out) {
        *count = static_cast<int32_t>(items.size());
        return ZK_E_OK;
    }
    const size_t n = std::min(items.size(), static_cast<size_t>(std::max(*count, 0)));
    for (size_t i = 0; i < n; ++i) fill(out[i], items[i], i);
    *count = static_cast<int32_t>(n);
    return ZK_E_OK;
}

int Unsupported() { return Fail(ZK_E_DONGLE, "named keys are not offered by PKCS#11 tokens"); }

// Runs body on the connection behind a handle, under its lock.
template <typename Body>
int OnConnection(ZKTokenKey handle, Body&& body) {
    std::shared_ptr<TokenConnection> c = FindConnection(handle);
    if (!c) return ZK_E_DONGLE;
    std::lock_guard<std::mutex> hold(c->lock());
    return body(*c);
}

int KeyIdArgument(const char* keyId, Bytes& id) {
    if (!keyId || !ParseKeyId(keyId, id)) return Fail(ZK_E_DONGLE, "the token has no key with this identifier");
    return ZK_E_OK;
}

// A Windows-1251 file name as the token holds it; 16 when it cannot be one.
int FileNameArgument(const char* name, std::string& utf8) {
    const size_t len = name ? std::strlen(name) : 0;
    if (len == 0 || len > kMaxTokenFileName) return Fail(ZK_E_DONGLE, "a token file name has 1 to 64 characters");
    utf8 = zk::Cp1251ToUtf8(name);
    return ZK_E_OK;
}

// --- exports

int DonglesInit(int32_t* providerNumber) {
    Context* ctx = CurrentContext();
    const int count = ConfigureTokenProviders(ctx ? ctx->paramsPath : std::string());
    if (providerNumber) *providerNumber = count;
    return ZK_E_OK;
}

int EnumTokens(TokenInfo* tokens, int32_t* count) {
    return PutArray(AllTokens(), tokens, count, [](TokenInfo& to, const TokenInfo& from, size_t) { to = from; });
}

int ConnectKey(const char* providerName, int32_t slotId, const char* pin, ZKTokenKey* handle) {
    return ConnectToken(providerName, slotId, pin, handle);
}

int DisconnectKey(ZKTokenKey handle) { return DisconnectToken(handle); }

int EnumTokenKeys(ZKTokenKey handle, TokenKey* keys, int32_t* count) {
    return OnConnection(handle, [&](TokenConnection& c) {
        return PutArray(ListTokenKeys(c), keys, count, [](TokenKey& to, const TokenKeyEntry& from, size_t i) {
            std::memset(&to, 0, sizeof to);
            PutText(to.Id, HexUpper(from.id.data(), from.id.size()));
            PutText(to.Index, std::to_string(i + 1));
            PutText(to.Label, zk::Utf8ToCp1251(from.label));
        });
    });
}

int InitSlot(const char* providerName, int32_t slotId, const char* adminPass, const char* userPass, const char* label) {
    if (!adminPass || !*adminPass) return Fail(ZK_E_SIGN_OR_PASSWORD, "empty security officer PIN");
    return WithToken(providerName, slotId, false, [&](TokenConnection& c) {
        // The label field: 32 bytes of UTF-8, blank-padded, never a character cut in two.
        std::string text = zk::Cp1251ToUtf8(label ? label : "");
        size_t cut = std::min<size_t>(text.size(), 32);
        while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        CK_UTF8CHAR padded[32];
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, text.data(), cut);
        zk::SecretString so(zk::Cp1251ToUtf8(adminPass));
        CK_RV rv = c.f().C_InitToken(c.slotId(), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(so.c_str())),
                                     so.str().size(), padded);
        if (rv != CKR_OK) return TokenFail(rv, "C_InitToken");
        if (!userPass || !*userPass) return static_cast<int>(ZK_E_OK);
        if (int rc = c.StartSession()) return rc;
        if (int rc = c.Login(CKU_SO, adminPass)) return rc;
        zk::SecretString user(zk::Cp1251ToUtf8(userPass));
        rv = c.f().C_InitPIN(c.session(), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(user.c_str())),
                             user.str().size());
        return rv == CKR_OK ? static_cast<int>(ZK_E_OK) : TokenFailNewPin(rv, "C_InitPIN");
    });
}

int ChangePassword(const char* providerName, int32_t slotId, const char* oldPass, const char* newPass) {
    return WithToken(providerName, slotId, true, [&](TokenConnection& c) {
        if (int rc = c.Login(CKU_USER, oldPass)) return rc;
        zk::SecretString oldPin(zk::Cp1251ToUtf8(oldPass)), newPin(zk::Cp1251ToUtf8(newPass ? newPass : ""));
        CK_RV rv = c.f().C_SetPIN(c.session(), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(oldPin.c_str())),
                                  oldPin.str().size(),
                                  reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(newPin.c_str())),
                                  newPin.str().size());
        return rv == CKR_OK ? static_cast<int>(ZK_E_OK) : TokenFailNewPin(rv, "C_SetPIN");
    });
}

int ChangeNamedKeyPassword(const char*, int32_t, const char*, const char*, const char*, const char*, const char*) {
    return Unsupported();
}

// A new user PIN set by the security officer: unblocks a locked PIN.
int UnlockPin(const char* providerName, int32_t slotId, const char* adminPass, const char* userPass) {
    return WithToken(providerName, slotId, true, [&](TokenConnection& c) {
        if (int rc = c.Login(CKU_SO, adminPass)) return rc;
        zk::SecretString user(zk::Cp1251ToUtf8(userPass ? userPass : ""));
        CK_RV rv = c.f().C_InitPIN(c.session(), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(user.c_str())),
                                   user.str().size());
        return rv == CKR_OK ? static_cast<int>(ZK_E_OK) : TokenFailNewPin(rv, "C_InitPIN");
    });
}

int SetKeyLabel(ZKTokenKey handle, const char* keyId, const char* label) {
    Bytes id;
    if (int rc = KeyIdArgument(keyId, id)) return rc;
    const std::string utf8 = zk::Cp1251ToUtf8(label ? label : "");
    if (utf8.size() > kMaxLabel) return Fail(ZK_E_DONGLE, "the label is too long for the token");
    return OnConnection(handle, [&](TokenConnection& c) { return SetTokenKeyLabel(c, id, utf8); });
}

int DeleteKey(ZKTokenKey handle, const char* keyId) {
    Bytes id;
    if (int rc = KeyIdArgument(keyId, id)) return rc;
    return OnConnection(handle, [&](TokenConnection& c) { return DeleteTokenKey(c, id); });
}

// Names that cannot come back as a FileName (too long for the name field, or
// not expressible in Windows-1251) are left out.
int EnumFiles(ZKTokenKey handle, ZKName* names, int32_t* count) {
    return OnConnection(handle, [&](TokenConnection& c) {
        std::vector<std::string> shown;
        for (const std::string& utf8 : ListTokenFiles(c)) {
            std::string cp1251 = zk::Utf8ToCp1251(utf8);
            if (cp1251.size() <= kMaxTokenFileName && zk::Cp1251ToUtf8(cp1251) == utf8) shown.push_back(cp1251);
        }
        return PutArray(shown, names, count, [](ZKName& to, const std::string& from, size_t) { PutText(to, from); });
    });
}

int GetFile(ZKTokenKey handle, const char* name, uint8_t* out, uint32_t* outLen) {
    std::string utf8;
    if (int rc = FileNameArgument(name, utf8)) return rc;
    return OnConnection(handle, [&](TokenConnection& c) {
        Bytes bytes;
        if (int rc = ReadTokenFile(c, utf8, bytes)) return rc;
        return PutOutput(bytes.data(), bytes.size(), out, outLen);
    });
}

int SetFile(ZKTokenKey handle, const char* name, const uint8_t* data, uint32_t len) {
    std::string utf8;
    if (int rc = FileNameArgument(name, utf8)) return rc;
    if (!data && len) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing file bytes");
    return OnConnection(handle, [&](TokenConnection& c) { return WriteTokenFile(c, utf8, data, len); });
}

int ConnectNamedKey(const char*, int32_t, const char*, const char*, const char*, const char*, ZKTokenKey* handle) {
    if (handle) *handle = 0;
    return Unsupported();
}

int ConnectNamedKey2(ZKTokenKey, const char*, const char*, const char*, ZKTokenKey* handle) {
    if (handle) *handle = 0;
    return Unsupported();
}

int EnumNamedKeys(ZKTokenKey handle, ZKName*, int32_t* count) {
    return OnConnection(handle, [&](TokenConnection&) {
        if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
        *count = 0;
        return static_cast<int>(ZK_E_OK);
    });
}

// The token's PKCS#11 URI (RFC 7512): the text that names this very token
// to other PKCS#11 software. Kept per thread until its next call.
const char* TokenOid(const TokenInfo* token) {
    if (!token) return nullptr;
    thread_local std::string uri;
    auto encode = [](const char* field, size_t size) {
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : zk::Cp1251ToUtf8(std::string_view(field, strnlen(field, size)))) {
            if (std::isalnum(c) || std::strchr("-._~", c)) {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        }
        return out;
    };
    uri = "pkcs11:model=" + encode(token->TokenModel, sizeof token->TokenModel) +
          ";manufacturer=" + encode(token->TokenManufacturerID, sizeof token->TokenManufacturerID) +
          ";serial=" + encode(token->TokenSerialNumber, sizeof token->TokenSerialNumber) +
          ";token=" + encode(token->TokenLabel, sizeof token->TokenLabel);
    return uri.c_str();
}

}  // namespace

ZKD_EXPORT(ZKLDongles_Init, DonglesInit);
ZKD_EXPORT(ZKLDongles_EnumTokens, EnumTokens);
ZKD_EXPORT(ZKLDongles_ConnectKey, ConnectKey);
ZKD_EXPORT(ZKLDongles_DisconnectKey, DisconnectKey);
ZKD_EXPORT(ZKLDongles_EnumTokenKeys, EnumTokenKeys);
ZKD_EXPORT(ZKLDongles_InitSlot, InitSlot);
ZKD_EXPORT(ZKLDongles_ChangePassword, ChangePassword);
ZKD_EXPORT(ZKLDongles_ChangeNamedKeyPassword, ChangeNamedKeyPassword);
ZKD_EXPORT(ZKLDongles_UnlockPin, UnlockPin);
ZKD_EXPORT(ZKLDongles_SetKeyLabel, SetKeyLabel);
ZKD_EXPORT(ZKLDongles_DeleteKey, DeleteKey);
ZKD_EXPORT(ZKLDongles_EnumFiles, EnumFiles);
ZKD_EXPORT(ZKLDongles_GetFile, GetFile);
ZKD_EXPORT(ZKLDongles_SetFile, SetFile);
ZKD_EXPORT(ZKLDongles_ConnectNamedKey, ConnectNamedKey);
ZKD_EXPORT(ZKLDongles_ConnectNamedKey2, ConnectNamedKey2);
ZKD_EXPORT(ZKLDongles_EnumNamedKeys, EnumNamedKeys);
ZKD_EXPORT(ZKLDongles_TokenOID, TokenOid);

}  // namespace zkd
