#include "provider/Operations.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/Log.h"
#include "provider/Provider.h"

namespace zk::provider {
namespace {

bool Fits(ByteView bytes) { return bytes.size() <= std::numeric_limits<uint32_t>::max(); }
uint32_t Len(ByteView bytes) { return static_cast<uint32_t>(bytes.size()); }

// The key pair of the contract: bytes and length, or no bytes and the token key.
const uint8_t* KeyData(const KeyRef& key) { return key.token ? nullptr : key.bytes.data(); }
ZKKeyLen KeyLength(const KeyRef& key) { return key.token ? key.token : static_cast<ZKKeyLen>(key.bytes.size()); }

std::string Text(const char* fixed, size_t size) { return std::string(fixed, strnlen(fixed, size)); }

// The "Before"/"After" lines around the call (and its size checks).
template <typename Body>
int Logged(const Site& site, const char* operation, Body&& body) {
    if (site.operation) operation = site.operation;
    if (site.function) log::Write(site.function, site.file, site.line, "Before %s", operation);
    const int code = body();
    if (site.function) log::Write(site.function, site.file, site.line, "After %s, Return: %d", operation, code);
    return code;
}

// Two-call output: call(nullptr, &len) learns the size, call(buffer, &len)
// fills a buffer of that size and reports what it wrote.
template <typename Call>
int TwoCalls(Output& out, bool secret, Call&& call) {
    out.Release();
    uint32_t size = 0;
    int code = call(static_cast<uint8_t*>(nullptr), &size);
    if (code != 0) return code;
    uint8_t* buffer = out.Allocate(size, secret);
    uint32_t written = size;
    code = call(buffer, &written);
    if (code != 0) {
        out.Release();
        return code;
    }
    out.SetSize(std::min(written, size));
    return code;
}

template <int Slot>
int SignWith(const Site& site, int32_t lib, ByteView data, const KeyRef& key, ByteView cert, const char* pass,
             Output& out) {
    return Logged(site, "Sign", [&] {
        if (!Fits(data) || !Fits(cert) || !Fits(key.bytes)) return kInputTooLarge;
        return TwoCalls(out, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<Slot>(lib, data.data(), Len(data), buffer, len, KeyData(key), KeyLength(key), cert.data(),
                                  Len(cert), pass);
        });
    });
}

}  // namespace

// --- Output

Output::Output(Output&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)),
      secret_(other.secret_) {}

Output& Output::operator=(Output&& other) noexcept {
    if (this != &other) {
        Release();
        bytes_ = std::move(other.bytes_);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        secret_ = other.secret_;
    }
    return *this;
}

// Only the written part is wiped: a sizing call may report an upper bound
// (a whole document's length), and the pages past what the provider wrote
// were never touched. Until SetSize, the whole buffer counts as written.
void Output::Release() {
    if (bytes_ && secret_) SecureWipe(bytes_.get(), size_);
    bytes_.reset();
    capacity_ = size_ = 0;
}

uint8_t* Output::Allocate(size_t capacity, bool secret) {
    Release();
    bytes_ = AllocateLarge(capacity);
    capacity_ = size_ = capacity;
    secret_ = secret;
    return bytes_.get();
}

void Output::SetSize(size_t size) { size_ = std::min(size, capacity_); }

// --- library table

bool IsLibraryLoaded(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_LOADED>();
    return f && f(Get().context, code) != 0;
}

int SelectLibrary(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_SELECT>();
    return f ? f(Get().context, code) : -1;
}

int LibraryIdentityByIndex(int libIndex) {
    auto f = Slot<ZKLD_SLOT_LIB_IDENTITY_BY_INDEX>();
    return f ? f(Get().context, libIndex) : -1;
}

int LibraryIdentityByCode(const char* code) {
    auto f = Slot<ZKLD_SLOT_LIB_IDENTITY_BY_CODE>();
    return f ? f(Get().context, code) : -1;
}

void SetCertSource(ZKCertSource source) { Call<&Exports::ZKLSVC_SetCertSource>(source); }

// --- last error

void ResetLastError() { Call<&Exports::ZKErrors_ResetCSPError>(); }

int LastErrorCode() {
    auto fn = Get().exports.ZKErrors_GetLastCSPError;
    return fn ? fn() : 0;
}

std::string LastErrorMessage() {
    auto fn = Get().exports.ZKErrors_GetLastCSPMessage;
    const char* m = fn ? fn() : nullptr;
    return m ? m : "";
}

// --- exports

int GetCertInfo(const Site& site, ByteView cert, ProviderCertInfo& info) {
    return Logged(site, "GetCertInfo", [&] {
        return Fits(cert) ? Call<&Exports::ZKLCTX_GetCertInfo>(cert.data(), Len(cert), &info) : kInputTooLarge;
    });
}

int CheckKeyPair(const Site& site, ByteView cert, ByteView key, const char* pass) {
    return Logged(site, "CheckKeyPair", [&] {
        if (!Fits(cert) || !Fits(key)) return kInputTooLarge;
        return Call<&Exports::ZKLCTX_CheckKeyPair>(cert.data(), Len(cert), key.data(), Len(key), pass);
    });
}

int ChangeKeyPassword(const Site& site, const char* oldPass, ByteView key, const char* newPass,
                      SecretBytes& scratch) {
    return Logged(site, "ChangeKeyPassword", [&] {
        std::vector<uint8_t>& room = scratch.bytes();
        if (!Fits(key) || !Fits(room)) return kInputTooLarge;
        uint32_t len = static_cast<uint32_t>(room.size());
        int code = Call<&Exports::ZKLCTX_ChangeKeyPassword>(oldPass, key.data(), Len(key), newPass,
                                                            room.empty() ? nullptr : room.data(), &len);
        if (code == 0 && len < room.size()) room.resize(len);
        return code;
    });
}

int GetSubjectKeyIdentifier(const Site& site, ByteView key, const char* pass, KeyIds& ids) {
    char id1[ZK_ID_TEXT_SIZE] = {}, id2[ZK_ID_TEXT_SIZE] = {};
    const int code = Logged(site, "GetSubjectKeyIdentifier", [&] {
        return Fits(key) ? Call<&Exports::ZKLCTX_GetSubjectKeyIdentifier>(key.data(), Len(key), pass, id1, id2)
                         : kInputTooLarge;
    });
    ids.id1 = Text(id1, sizeof id1);
    ids.id2 = Text(id2, sizeof id2);
    return code;
}

int GetRandomBlock(const Site& site, std::span<uint8_t> out) {
    return Logged(site, "GetRandomBlock", [&] {
        return out.size() <= std::numeric_limits<uint32_t>::max()
                   ? Call<&Exports::ZKLCTX_GetRandomBlock>(out.data(), static_cast<uint32_t>(out.size()))
                   : kInputTooLarge;
    });
}

int AcquireKey(const Site& site, ByteView keyFile, const char* pass, AcquiredKeys& keys) {
    std::vector<uint8_t>& key1 = keys.key1.bytes();
    std::vector<uint8_t>& key2 = keys.key2.bytes();
    key1.assign(ZK_KEY_BUFFER_SIZE, 0);
    key2.assign(ZK_KEY_BUFFER_SIZE, 0);
    uint32_t len1 = ZK_KEY_BUFFER_SIZE, len2 = ZK_KEY_BUFFER_SIZE;
    char id1[ZK_ID_TEXT_SIZE] = {}, id2[ZK_ID_TEXT_SIZE] = {};
    const int code = Logged(site, "AcquireKey", [&] {
        return Fits(keyFile) ? Call<&Exports::ZKLSVC_AcquireKey>(keyFile.data(), Len(keyFile), pass, key1.data(),
                                                                  &len1, key2.data(), &len2, id1, id2)
                             : kInputTooLarge;
    });
    key1.resize(std::min<size_t>(len1, key1.size()));
    key2.resize(std::min<size_t>(len2, key2.size()));
    keys.ids.id1 = Text(id1, sizeof id1);
    keys.ids.id2 = Text(id2, sizeof id2);
    return code;
}

int DonglesConnectKey(const Site& site, const char* providerName, int32_t slotId, const char* pin,
                      ZKTokenKey& handle) {
    return Logged(site, "ConnectKey",
                  [&] { return Call<&Exports::ZKLDongles_ConnectKey>(providerName, slotId, pin, &handle); });
}

int DonglesConnectNamedKey2(const Site& site, ZKTokenKey token, const char* keyName, const char* keyId,
                            const char* keyPass, ZKTokenKey& handle) {
    return Logged(site, "ConnectNamedKey2", [&] {
        return Call<&Exports::ZKLDongles_ConnectNamedKey2>(token, keyName, keyId, keyPass, &handle);
    });
}

int DonglesDisconnectKey(const Site& site, ZKTokenKey handle) {
    return Logged(site, "DisconnectKey", [&] { return Call<&Exports::ZKLDongles_DisconnectKey>(handle); });
}

int DonglesEnumTokenKeys(const Site& site, ZKTokenKey token, std::vector<TokenKey>& keys) {
    return Logged(site, "EnumTokenKeys", [&] {
        int32_t count = 0;
        keys.clear();
        int code = Call<&Exports::ZKLDongles_EnumTokenKeys>(token, nullptr, &count);
        keys.resize(count > 0 ? static_cast<size_t>(count) : 0);
        if (code == 0 && !keys.empty()) code = Call<&Exports::ZKLDongles_EnumTokenKeys>(token, keys.data(), &count);
        keys.resize(code == 0 ? std::min(keys.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

int DonglesEnumTokens(const Site& site, std::vector<TokenInfo>& tokens) {
    return Logged(site, "EnumTokens", [&] {
        int32_t count = 0;
        tokens.clear();
        int code = Call<&Exports::ZKLDongles_EnumTokens>(nullptr, &count);
        tokens.resize(code == 0 && count > 0 ? static_cast<size_t>(count) : 0);
        if (code == 0 && !tokens.empty()) code = Call<&Exports::ZKLDongles_EnumTokens>(tokens.data(), &count);
        tokens.resize(code == 0 ? std::min(tokens.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

namespace {
// The two-call listing of 65-byte names.
template <auto Member>
int EnumNames(ZKTokenKey token, std::vector<std::string>& names) {
    int32_t count = 0;
    names.clear();
    int code = Call<Member>(token, nullptr, &count);
    std::vector<std::array<char, ZK_NAME_SIZE>> buffer(code == 0 && count > 0 ? static_cast<size_t>(count) : 0);
    static_assert(sizeof(buffer[0]) == sizeof(ZKName));
    if (code == 0 && !buffer.empty()) code = Call<Member>(token, reinterpret_cast<ZKName*>(buffer.data()), &count);
    if (code != 0) return code;
    const size_t n = std::min(buffer.size(), static_cast<size_t>(std::max(count, 0)));
    for (size_t i = 0; i < n; ++i) names.push_back(Text(buffer[i].data(), buffer[i].size()));
    return code;
}

// Two calls with three outputs: call(key, keyLen, request1, len1, request2, len2).
template <typename Calls>
int RequestCalls(CertRequestOutputs& out, Calls&& call) {
    uint32_t keyLen = 0, len1 = 0, len2 = 0;
    int code = call(nullptr, &keyLen, nullptr, &len1, nullptr, &len2);
    if (code != 0) return code;
    uint8_t* key = out.keyContainer.Allocate(keyLen, true);
    uint8_t* r1 = out.request1.Allocate(len1, false);
    uint8_t* r2 = out.request2.Allocate(len2, false);
    code = call(key, &keyLen, r1, &len1, r2, &len2);
    if (code != 0) {
        out.keyContainer.Release();
        out.request1.Release();
        out.request2.Release();
        return code;
    }
    out.keyContainer.SetSize(keyLen);
    out.request1.SetSize(len1);
    out.request2.SetSize(len2);
    return code;
}
}  // namespace

int DonglesEnumNamedKeys(const Site& site, ZKTokenKey token, std::vector<std::string>& names) {
    return Logged(site, "EnumNamedKeys", [&] { return EnumNames<&Exports::ZKLDongles_EnumNamedKeys>(token, names); });
}

std::string DonglesTokenOID(const TokenInfo& token) {
    auto fn = Get().exports.ZKLDongles_TokenOID;
    const char* text = fn ? fn(&token) : nullptr;
    return text ? text : "";
}

int DonglesConnectNamedKey(const Site& site, const char* providerName, int32_t slotId, const char* devicePass,
                           const char* keyName, const char* keyId, const char* keyPass, ZKTokenKey& handle) {
    return Logged(site, "ConnectNamedKey", [&] {
        return Call<&Exports::ZKLDongles_ConnectNamedKey>(providerName, slotId, devicePass, keyName, keyId, keyPass,
                                                          &handle);
    });
}

int DonglesInitSlot(const Site& site, const char* providerName, int32_t slotId, const char* adminPass,
                    const char* userPass, const char* label) {
    return Logged(site, "InitSlot", [&] {
        return Call<&Exports::ZKLDongles_InitSlot>(providerName, slotId, adminPass, userPass, label);
    });
}

int DonglesChangePassword(const Site& site, const char* providerName, int32_t slotId, const char* oldPass,
                          const char* newPass) {
    return Logged(site, "ChangePassword", [&] {
        return Call<&Exports::ZKLDongles_ChangePassword>(providerName, slotId, oldPass, newPass);
    });
}

int DonglesChangeNamedKeyPassword(const Site& site, const char* providerName, int32_t slotId, const char* devicePass,
                                  const char* keyName, const char* subjectKeyId, const char* oldPass,
                                  const char* newPass) {
    return Logged(site, "ChangeNamedKeyPassword", [&] {
        return Call<&Exports::ZKLDongles_ChangeNamedKeyPassword>(providerName, slotId, devicePass, keyName,
                                                                 subjectKeyId, oldPass, newPass);
    });
}

int DonglesUnlockPin(const Site& site, const char* providerName, int32_t slotId, const char* adminPass,
                     const char* userPass) {
    return Logged(site, "UnlockPin", [&] {
        return Call<&Exports::ZKLDongles_UnlockPin>(providerName, slotId, adminPass, userPass);
    });
}

int DonglesSetKeyLabel(const Site& site, ZKTokenKey token, const char* keyId, const char* label) {
    return Logged(site, "SetKeyLabel", [&] { return Call<&Exports::ZKLDongles_SetKeyLabel>(token, keyId, label); });
}

int DonglesDeleteKey(const Site& site, ZKTokenKey token, const char* keyId) {
    return Logged(site, "DeleteKey", [&] { return Call<&Exports::ZKLDongles_DeleteKey>(token, keyId); });
}

int DonglesEnumFiles(const Site& site, ZKTokenKey token, std::vector<std::string>& names) {
    return Logged(site, "EnumFiles", [&] { return EnumNames<&Exports::ZKLDongles_EnumFiles>(token, names); });
}

int DonglesGetFile(const Site& site, ZKTokenKey token, const char* name, Output& file) {
    return Logged(site, "GetFile", [&] {
        file.Release();
        uint32_t size = 0;
        int code = Call<&Exports::ZKLDongles_GetFile>(token, name, nullptr, &size);
        if (code != 0 || size == 0) return code;
        uint8_t* buffer = file.Allocate(size, true);
        uint32_t written = size;
        code = Call<&Exports::ZKLDongles_GetFile>(token, name, buffer, &written);
        if (code != 0) file.Release();
        else file.SetSize(written);
        return code;
    });
}

int DonglesSetFile(const Site& site, ZKTokenKey token, const char* name, ByteView data) {
    return Logged(site, "SetFile", [&] {
        if (!Fits(data)) return kInputTooLarge;
        return Call<&Exports::ZKLDongles_SetFile>(token, name, data.empty() ? nullptr : data.data(), Len(data));
    });
}

int CreateSimpleCertRequest(const Site& site, const char* pass, CertRequestSubject& subject1,
                            CertRequestSubject* subject2, CertRequestOutputs& out) {
    return Logged(site, "CreateSimpleCertRequest", [&] {
        return RequestCalls(out, [&](uint8_t* key, uint32_t* keyLen, uint8_t* r1, uint32_t* len1, uint8_t* r2,
                                     uint32_t* len2) {
            return Call<&Exports::ZKLCTX_CreateSimpleCertRequest>(pass, &subject1, subject2, key, keyLen, r1, len1, r2,
                                                                  len2);
        });
    });
}

int DonglesCreateSimpleCertRequest(const Site& site, const char* pin, const char* providerName, int32_t slotId,
                                   const char* text2, const char* text3, CertRequestSubject& subject1,
                                   CertRequestSubject* subject2, CertRequestOutputs& out) {
    return Logged(site, "CreateSimpleCertRequest", [&] {
        return RequestCalls(out, [&](uint8_t*, uint32_t* keyLen, uint8_t* r1, uint32_t* len1, uint8_t* r2,
                                     uint32_t* len2) {
            *keyLen = 0;  // the keys stay on the token
            return Call<&Exports::ZKLDongles_CreateSimpleCertRequest>(pin, providerName, slotId, text2, text3,
                                                                      &subject1, subject2, r1, len1, r2, len2);
        });
    });
}

// --- slots

int LibHash(const Site& site, int32_t lib, ByteView data, uint8_t (&out)[32]) {
    return Logged(site, "Hash", [&] {
        return Fits(data) ? CallSlot<ZKLD_SLOT_HASH>(lib, data.data(), Len(data), out, 0, 0) : kInputTooLarge;
    });
}

int LibSymmetric(const Site& site, int32_t lib, ByteView data, ByteView key, int32_t mode, Output& out) {
    return Logged(site, "Symmetric", [&] {
        if (!Fits(data) || !Fits(key)) return kInputTooLarge;
        return TwoCalls(out, mode == ZK_SYMMETRIC_DECRYPT, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_SYMMETRIC>(lib, data.data(), Len(data), buffer, len, key.data(), Len(key), 0, 0,
                                                 mode);
        });
    });
}

int LibVerifyDetached(const Site& site, int32_t lib, ByteView signature, ByteView data, Output& signerCert) {
    return Logged(site, "VerifyDetached", [&] {
        if (!Fits(signature) || !Fits(data)) return kInputTooLarge;
        return TwoCalls(signerCert, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_VERIFY_DETACHED>(lib, signature.data(), Len(signature), data.data(), Len(data),
                                                       buffer, len);
        });
    });
}

int LibSign(const Site& site, int32_t lib, ByteView data, const KeyRef& key, ByteView cert, const char* pass,
            Output& out) {
    return SignWith<ZKLD_SLOT_SIGN>(site, lib, data, key, cert, pass, out);
}

int LibSignDetached(const Site& site, int32_t lib, ByteView data, const KeyRef& key, ByteView cert,
                    const char* pass, Output& out) {
    return SignWith<ZKLD_SLOT_SIGN_DETACHED>(site, lib, data, key, cert, pass, out);
}

int LibCheckKeyPair(const Site& site, int32_t lib, const KeyRef& key, ByteView cert, const char* pass) {
    return Logged(site, "CheckKeyPair", [&] {
        if (!Fits(key.bytes) || !Fits(cert)) return kInputTooLarge;
        return CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(lib, KeyData(key), KeyLength(key), cert.data(), Len(cert), pass);
    });
}

int LibOpenKeyPair(const Site& site, int32_t lib, ByteView key, ByteView cert, const char* pass,
                   OpenedKeyPtr& opened) {
    opened.reset();
    return Logged(site, "CheckKeyPair", [&] {
        if (!Fits(key) || !Fits(cert)) return kInputTooLarge;
        if (Get().exports.ZKLCTX_OpenKey && LibraryIdentityByIndex(lib) >= 0) {
            ZKTokenKey handle = 0;
            const int code = Call<&Exports::ZKLCTX_OpenKey>(cert.data(), Len(cert), key.data(), Len(key), pass, &handle);
            if (code == 0 && handle) opened = std::make_shared<const OpenedKey>(handle);
            return code;
        }
        return CallSlot<ZKLD_SLOT_CHECK_KEY_PAIR>(lib, key.data(), Len(key), cert.data(), Len(cert), pass);
    });
}

// Without a provider (after it was unloaded) there is nothing left to close.
OpenedKey::~OpenedKey() { Call<&Exports::ZKLCTX_CloseKey>(handle_); }

int LibChangeKeyPassword(const Site& site, int32_t lib, ByteView key, const char* oldPass, const char* newPass,
                         Output& out) {
    return Logged(site, "ChangeKeyPassword", [&] {
        if (!Fits(key)) return kInputTooLarge;
        return TwoCalls(out, true, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_CHANGE_KEY_PASSWORD>(lib, key.data(), Len(key), oldPass, newPass, buffer, len);
        });
    });
}

// --- signed containers

int CtxCreateContainer(const Site& site, bool keepContent, ByteView document, const SignerRef& signer,
                       const AdditionalAttributes& attrs, Output& container) {
    return Logged(site, keepContent ? "CreateContainer" : "CreateContainerExt", [&] {
        if (!Fits(document) || !Fits(signer.cert) || !Fits(signer.key.bytes)) return kInputTooLarge;
        return TwoCalls(container, false, [&](uint8_t* buffer, uint32_t* len) {
            auto create = [&](auto fn) {
                return fn(document.data(), Len(document), signer.cert.data(), Len(signer.cert), KeyData(signer.key),
                          KeyLength(signer.key), signer.pass, buffer, len, &attrs);
            };
            return keepContent ? create([](auto&&... a) { return Call<&Exports::ZKLCTX_CreateContainer>(a...); })
                               : create([](auto&&... a) { return Call<&Exports::ZKLCTX_CreateContainerExt>(a...); });
        });
    });
}

int CtxAddSignature(const Site& site, ByteView container, const ByteView* content, const SignerRef& signer,
                    const AdditionalAttributes& attrs, Output& result) {
    return Logged(site, content ? "AddSignatureExt" : "AddSignature", [&] {
        if (!Fits(container) || (content && !Fits(*content)) || !Fits(signer.cert) || !Fits(signer.key.bytes))
            return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            if (buffer && content)
                return Call<&Exports::ZKLCTX_AddSignatureExt>(
                    container.data(), Len(container), content->data(), Len(*content), signer.cert.data(),
                    Len(signer.cert), KeyData(signer.key), KeyLength(signer.key), signer.pass, buffer, len, &attrs);
            return Call<&Exports::ZKLCTX_AddSignature>(container.data(), Len(container), signer.cert.data(),
                                                       Len(signer.cert), KeyData(signer.key), KeyLength(signer.key),
                                                       signer.pass, buffer, len, &attrs);
        });
    });
}

int CtxRemoveSignature(const Site& site, ByteView container, int32_t signIndex, int32_t options, Output& result) {
    return Logged(site, "RemoveSignature", [&] {
        if (!Fits(container)) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_RemoveSignature>(container.data(), Len(container), signIndex, options,
                                                          buffer, len);
        });
    });
}

int CtxRemoveContent(const Site& site, ByteView container, Output& result) {
    return Logged(site, "RemoveContent", [&] {
        if (!Fits(container)) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_RemoveContent>(container.data(), Len(container), buffer, len);
        });
    });
}

int CtxAddContent(const Site& site, ByteView container, ByteView content, Output& result) {
    return Logged(site, "AddContent", [&] {
        if (!Fits(container) || !Fits(content)) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_AddContent>(container.data(), Len(container), content.data(), Len(content),
                                                     buffer, len);
        });
    });
}

int CtxMergeSignedData(const Site& site, bool checkHash, std::span<const ByteView> containers, Output& result) {
    return Logged(site, "MergeSignedData", [&] {
        std::vector<ZKBlob> pairs;
        for (ByteView c : containers) {
            if (!Fits(c)) return kInputTooLarge;
            pairs.push_back({const_cast<uint8_t*>(c.data()), Len(c)});
        }
        if (pairs.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_MergeSignedData>(static_cast<uint8_t>(checkHash ? 1 : 0), pairs.data(),
                                                          static_cast<int32_t>(pairs.size()), buffer, len);
        });
    });
}

int CtxGetContainerInfo(const Site& site, ByteView container, int32_t signIndex, ContainerDescription& out) {
    return Logged(site, "GetContainerInfo", [&] {
        if (!Fits(container)) return kInputTooLarge;
        out.info = ContainerInfo{};
        out.work = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(container.size(), 1));
        out.info.Work = {out.work.get(), Len(container)};
        return Call<&Exports::ZKLCTX_GetContainerInfo>(container.data(), Len(container), signIndex, &out.info);
    });
}

int CtxGetContainerInfos(const Site& site, ByteView container, ContainerDescriptions& out) {
    return Logged(site, "GetContainerInfos", [&] {
        if (!Fits(container)) return kInputTooLarge;
        out.infos.clear();
        int32_t count = 0;
        int code = Call<&Exports::ZKLCTX_GetContainerInfos>(container.data(), Len(container), nullptr, &count,
                                                            nullptr);
        if (code != 0 || count <= 0) return code;
        out.infos.assign(static_cast<size_t>(std::min(count, ZK_VERIFY_MAX_RESULTS)), ContainerInfo{});
        out.work = std::make_unique_for_overwrite<uint8_t[]>(container.size());
        ZKBlob work{out.work.get(), Len(container)};
        count = static_cast<int32_t>(out.infos.size());
        code = Call<&Exports::ZKLCTX_GetContainerInfos>(container.data(), Len(container), out.infos.data(), &count,
                                                        &work);
        out.infos.resize(code == 0 ? std::min(out.infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

int CtxVerify(const Site& site, ByteView container, const ByteView* content, std::vector<int32_t>& results) {
    return Logged(site, content ? "VerifyExternal" : "Verify", [&] {
        results.assign(ZK_VERIFY_MAX_RESULTS, 0);
        int32_t count = ZK_VERIFY_MAX_RESULTS;
        int code = kInputTooLarge;
        if (content && Fits(container) && Fits(*content))
            code = Call<&Exports::ZKLCTX_VerifyExternal>(container.data(), Len(container), content->data(),
                                                         Len(*content), results.data(), &count);
        else if (!content && Fits(container))
            code = Call<&Exports::ZKLCTX_Verify>(container.data(), Len(container), results.data(), &count);
        results.resize(code == 0 ? static_cast<size_t>(std::clamp(count, 0, ZK_VERIFY_MAX_RESULTS)) : 0);
        return code;
    });
}

int CtxCheckSignatureCertificate(const Site& site, ByteView cert, ByteView issuer) {
    return Logged(site, "CheckSignatureCertificate", [&] {
        if (!Fits(cert) || !Fits(issuer)) return kInputTooLarge;
        return Call<&Exports::ZKLCTX_CheckSignatureCertificate>(cert.data(), Len(cert),
                                                                issuer.empty() ? nullptr : issuer.data(), Len(issuer));
    });
}

int CtxGetSignedDataCertificate(const Site& site, ByteView container, int32_t index, std::vector<uint8_t>& cert) {
    return Logged(site, "GetSignedDataCertificate", [&] {
        cert.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = Fits(container) ? Call<&Exports::ZKLCTX_GetSignedDataCertificate>(
                                               container.data(), Len(container), index, cert.data(), &len)
                                         : kInputTooLarge;
        cert.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

int CtxHash(const Site& site, ByteView document, const std::string& algOid, ByteView cert,
            std::vector<uint8_t>& hash) {
    return Logged(site, algOid.empty() ? "HashData" : "HashDataAlg", [&] {
        hash.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        int code = kInputTooLarge;
        if (!Fits(document) || !Fits(cert))
            code = kInputTooLarge;
        else if (!algOid.empty())
            code = Call<&Exports::ZKLCTX_HashDataAlg>(document.data(), Len(document), algOid.c_str(), hash.data(),
                                                      &len);
        else
            code = Call<&Exports::ZKLCTX_HashData>(document.data(), Len(document),
                                                   cert.empty() ? nullptr : cert.data(), Len(cert), hash.data(),
                                                   &len);
        hash.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

// --- envelopes and key stores of the container family

namespace {

// (address, length) pairs of the contract over the caller's certificates;
// false when one is too large or there are too many.
bool Pairs(const std::vector<ByteView>& items, std::vector<ZKBlob>& pairs) {
    if (items.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
    pairs.clear();
    for (ByteView item : items) {
        if (!Fits(item)) return false;
        pairs.push_back(ZKBlob{const_cast<uint8_t*>(item.data()), Len(item)});
    }
    return true;
}

}  // namespace

int CtxEncryptData(const Site& site, ByteView document, const SignerRef& sender,
                   const std::vector<ByteView>& recipientCerts, Output& envelope) {
    return Logged(site, "EncryptDataForRecipients", [&] {
        std::vector<ZKBlob> pairs;
        if (!Fits(document) || !Fits(sender.cert) || !Fits(sender.key.bytes) || !Pairs(recipientCerts, pairs))
            return kInputTooLarge;
        return TwoCalls(envelope, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_EncryptDataForRecipients>(
                document.data(), Len(document), sender.cert.data(), Len(sender.cert), KeyData(sender.key),
                KeyLength(sender.key), sender.pass, pairs.data(), static_cast<int32_t>(pairs.size()), buffer, len);
        });
    });
}

int CtxDecryptData(const Site& site, ByteView envelope, const KeyRef& key, const char* pass, ByteView originatorCert,
                   ByteView recipientCert, Output& plain) {
    return Logged(site, "DecryptData", [&] {
        if (!Fits(envelope) || !Fits(key.bytes) || !Fits(originatorCert) || !Fits(recipientCert))
            return kInputTooLarge;
        const uint8_t* originator = originatorCert.empty() ? nullptr : originatorCert.data();
        return TwoCalls(plain, true, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_DecryptData>(envelope.data(), Len(envelope), KeyData(key), KeyLength(key),
                                                      pass, originator, Len(originatorCert), recipientCert.data(),
                                                      Len(recipientCert), buffer, len);
        });
    });
}

int CtxGetEnvelopeType(const Site& site, ByteView block, int32_t& type) {
    return Logged(site, "GetEnvelopeType", [&] {
        type = 0;
        return Fits(block) ? Call<&Exports::ZKLCTX_GetEnvelopeType>(block.data(), Len(block), &type) : kInputTooLarge;
    });
}

int CtxGetOriginatorCertificate(const Site& site, ByteView envelope, int32_t index, std::vector<uint8_t>& cert) {
    return Logged(site, "GetOriginatorCertificate", [&] {
        cert.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = Fits(envelope) ? Call<&Exports::ZKLCTX_GetOriginatorCertificate>(
                                              envelope.data(), Len(envelope), index, cert.data(), &len)
                                        : kInputTooLarge;
        cert.resize(code == 0 ? std::min<size_t>(len, ZK_KEY_BUFFER_SIZE) : 0);
        return code;
    });
}

int CtxEnumerateRecipients(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos) {
    return Logged(site, "EnumerateRecipients", [&] {
        infos.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = Call<&Exports::ZKLCTX_EnumerateRecipients>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        infos.assign(static_cast<size_t>(count), ProviderCertInfo{});  // zeroed: no identifier slots
        code = Call<&Exports::ZKLCTX_EnumerateRecipients>(envelope.data(), Len(envelope), infos.data(), &count);
        infos.resize(code == 0 ? std::min(infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

int CtxGetCertsFromStore(const Site& site, ByteView store, bool onlyUserCerts, const char* pass,
                         std::vector<std::vector<uint8_t>>& certs) {
    return Logged(site, "GetCertsFromPBContainer", [&] {
        certs.clear();
        if (!Fits(store)) return kInputTooLarge;
        const uint8_t only = onlyUserCerts ? 1 : 0;
        auto call = [&](ZKBlob* pairs, int32_t* count) {
            return Call<&Exports::ZKLCTX_GetCertsFromPBContainer>(store.data(), Len(store), pairs, count, only, pass);
        };
        int32_t count = 0;
        int code = call(nullptr, &count);
        if (code != 0 || count <= 0) return code;
        std::vector<ZKBlob> pairs(static_cast<size_t>(count), ZKBlob{nullptr, 0});
        if ((code = call(pairs.data(), &count)) != 0) return code;
        certs.resize(pairs.size());
        for (size_t i = 0; i < pairs.size(); ++i) {
            certs[i].resize(pairs[i].length);
            pairs[i].data = certs[i].empty() ? nullptr : certs[i].data();
        }
        code = call(pairs.data(), &count);
        if (code != 0) {
            certs.clear();
            return code;
        }
        for (size_t i = 0; i < pairs.size(); ++i) certs[i].resize(std::min<size_t>(pairs[i].length, certs[i].size()));
        return code;
    });
}

int CtxGetKeysFromStore(const Site& site, ByteView store, const char* pass, const std::vector<ByteView>& certs,
                        std::vector<SecretBytes>& keys, std::vector<std::string>& unprocessed) {
    return Logged(site, "GetKeysFromPBContainer", [&] {
        keys.clear();
        unprocessed.clear();
        std::vector<ZKBlob> certPairs;
        if (!Fits(store) || !Pairs(certs, certPairs)) return kInputTooLarge;
        auto call = [&](ZKBlob* keyPairs, int32_t* keyCount, ZKName* names, int32_t* nameCount) {
            return Call<&Exports::ZKLCTX_GetKeysFromPBContainer>(store.data(), Len(store), pass, certPairs.data(),
                                                                 static_cast<int32_t>(certPairs.size()), keyPairs,
                                                                 keyCount, names, nameCount);
        };
        int32_t keyCount = 0, nameCount = 0;
        int code = call(nullptr, &keyCount, nullptr, &nameCount);
        if (code != 0) return code;
        std::vector<ZKBlob> keyPairs(static_cast<size_t>(std::max(keyCount, 0)), ZKBlob{nullptr, 0});
        std::vector<ZKName> names(static_cast<size_t>(std::max(nameCount, 0)));
        if (!names.empty()) std::memset(names.data(), 0, names.size() * sizeof(ZKName));
        if ((code = call(keyPairs.data(), &keyCount, names.data(), &nameCount)) != 0) return code;
        keys.resize(keyPairs.size());
        for (size_t i = 0; i < keyPairs.size(); ++i) {
            keys[i].bytes().resize(keyPairs[i].length);
            keys[i].KeepOutOfDumps();
            keyPairs[i].data = keys[i].bytes().empty() ? nullptr : keys[i].bytes().data();
        }
        if ((code = call(keyPairs.data(), &keyCount, names.data(), &nameCount)) != 0) {
            keys.clear();
            return code;
        }
        for (size_t i = 0; i < keyPairs.size(); ++i)
            keys[i].bytes().resize(std::min<size_t>(keyPairs[i].length, keys[i].bytes().size()));
        for (size_t i = 0; i < names.size() && i < static_cast<size_t>(std::max(nameCount, 0)); ++i)
            unprocessed.push_back(Text(names[i], sizeof names[i]));
        return code;
    });
}

// --- timestamps, OCSP, CMP and validation data

namespace {

// A size of the contract's 32-bit lengths.
uint32_t Len32(size_t n) { return static_cast<uint32_t>(std::min<size_t>(n, std::numeric_limits<uint32_t>::max())); }

void PrepareTimestamp(TimestampOutcome& out) {
    out = TimestampOutcome{};
    out.certBuffer.assign(ZK_KEY_BUFFER_SIZE, 0);
    out.info.CertBuffer = out.certBuffer.data();
    out.info.CertLength = ZK_KEY_BUFFER_SIZE;
}

// The record's certificate length kept within its buffer, the output cut to
// what the provider wrote (nothing on failure).
int FinishTimestamp(int code, uint32_t written, TimestampOutcome& out) {
    out.response.resize(code == 0 ? std::min<size_t>(written, out.response.size()) : 0);
    if (code != 0 || out.info.CertLength > out.certBuffer.size()) out.info.CertLength = 0;
    return code;
}

// Runs a network operation under the target's rule, which holds for that
// call alone.
template <typename Body>
int UnderRule(const ServiceTarget& target, Body&& body) {
    if (target.rule == 0) return body();
    if (int code = Call<&Exports::ZKLNET_SetRule>(target.rule)) return code;
    const int code = body();
    Call<&Exports::ZKLNET_SetRule>(0);
    return code;
}

}  // namespace

int CtxRequestTimestamp(const Site& site, ByteView data, ByteView cert, const ServiceTarget& target,
                        TimestampOutcome& out) {
    return Logged(site, "RequestTimestamp", [&] {
        PrepareTimestamp(out);
        if (!Fits(data) || !Fits(cert)) return kInputTooLarge;
        out.response.assign(ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = ZK_KEY_BUFFER_SIZE;
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestTimestamp>(
            data.data(), Len(data), cert.empty() ? nullptr : cert.data(), Len(cert), out.response.data(), &len,
            &out.info, &out.socketError, target.server.c_str(), target.port, target.timeout); });
        return FinishTimestamp(code, len, out);
    });
}

int CtxAddTimestamp(const Site& site, ByteView container, int32_t signIndex, ByteView cert,
                    const ServiceTarget& target, TimestampOutcome& out) {
    return Logged(site, "AddTimestamp", [&] {
        PrepareTimestamp(out);
        if (!Fits(cert) || container.size() > std::numeric_limits<uint32_t>::max() - ZK_KEY_BUFFER_SIZE)
            return kInputTooLarge;
        out.response.assign(container.size() + ZK_KEY_BUFFER_SIZE, 0);
        uint32_t len = Len32(out.response.size());
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_AddTimestamp>(
            container.data(), Len(container), signIndex, cert.empty() ? nullptr : cert.data(), Len(cert),
            out.response.data(), &len, &out.info, &out.socketError, target.server.c_str(), target.port,
            target.timeout); });
        return FinishTimestamp(code, len, out);
    });
}

int CtxGetTimestampInfo(const Site& site, ByteView response, TimestampOutcome& out) {
    return Logged(site, "GetTimestampInfo", [&] {
        PrepareTimestamp(out);
        if (!Fits(response)) return kInputTooLarge;
        const int code = Call<&Exports::ZKLCTX_GetTimestampInfo>(response.data(), Len(response), &out.info);
        return FinishTimestamp(code, 0, out);
    });
}

int CtxRequestOCSP(const Site& site, std::span<const ByteView> certs, ByteView requesterCert, const KeyRef& key,
                   const char* pass, const ServiceTarget& target, size_t responseCapacity, OcspOutcome& out) {
    return Logged(site, "RequestOCSP", [&] {
        out = OcspOutcome{};
        if (certs.empty() || certs.size() > ZK_OCSP_MAX_STATUSES || !Fits(requesterCert) || !Fits(key.bytes) ||
            responseCapacity > std::numeric_limits<uint32_t>::max())
            return kInputTooLarge;
        std::vector<ZKBlob> blobs;
        for (const ByteView& c : certs) {
            if (!Fits(c)) return kInputTooLarge;
            blobs.push_back({const_cast<uint8_t*>(c.data()), Len(c)});
        }
        out.statuses.assign(certs.size(), OcspCertStatus{});
        out.response.assign(responseCapacity, 0);
        uint32_t len = Len32(responseCapacity);
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestOCSP>(
            blobs.data(), static_cast<int32_t>(blobs.size()), requesterCert.empty() ? nullptr : requesterCert.data(),
            Len(requesterCert), KeyData(key), KeyLength(key), pass ? pass : "", out.response.data(), &len, &out.info,
            out.statuses.data(), &out.socketError, target.server.c_str(), target.port, target.timeout); });
        out.response.resize(code == 0 ? std::min<size_t>(len, out.response.size()) : 0);
        if (code != 0) out.statuses.clear();
        return code;
    });
}

int CtxGetOCSPResponseInfo(const Site& site, ByteView response, OcspOutcome& out) {
    return Logged(site, "GetOCSPResponseInfo", [&] {
        out = OcspOutcome{};
        if (!Fits(response)) return kInputTooLarge;
        out.statuses.assign(ZK_OCSP_MAX_STATUSES, OcspCertStatus{});
        int32_t count = ZK_OCSP_MAX_STATUSES;
        const int code = Call<&Exports::ZKLCTX_GetOCSPResponseInfo>(response.data(), Len(response), &out.info,
                                                                     out.statuses.data(), &count);
        out.statuses.resize(code == 0 ? static_cast<size_t>(std::clamp<int32_t>(count, 0, ZK_OCSP_MAX_STATUSES)) : 0);
        return code;
    });
}

int CtxRequestCMP(const Site& site, const std::string& keyId1, const std::string& keyId2, bool acquireChain,
                  int32_t slots, const ServiceTarget& target, std::vector<std::vector<uint8_t>>& certs,
                  int32_t& socketError) {
    return Logged(site, "RequestCMP", [&] {
        certs.assign(static_cast<size_t>(std::max<int32_t>(slots, 0)), std::vector<uint8_t>(ZK_KEY_BUFFER_SIZE));
        std::vector<ZKBlob> blobs;
        for (std::vector<uint8_t>& c : certs) blobs.push_back({c.data(), ZK_KEY_BUFFER_SIZE});
        int32_t count = slots;
        socketError = 0;
        const int code = UnderRule(target, [&] { return Call<&Exports::ZKLCTX_RequestCMP>(keyId1.c_str(), keyId2.c_str(),
                                                            static_cast<uint8_t>(acquireChain ? 1 : 0), blobs.data(),
                                                            &count, &socketError, target.server.c_str(), target.port,
                                                            target.timeout); });
        const size_t delivered = code == 0 ? static_cast<size_t>(std::clamp<int32_t>(count, 0, slots)) : 0;
        certs.resize(delivered);
        for (size_t i = 0; i < delivered; ++i) certs[i].resize(std::min<size_t>(blobs[i].length, ZK_KEY_BUFFER_SIZE));
        return code;
    });
}

int CtxSetCompleteInfo(const Site& site, ByteView container, int32_t signIndex,
                       std::span<const ValidationObject> objects, Output& result) {
    return Logged(site, "SetCompleteInfo", [&] {
        if (!Fits(container)) return kInputTooLarge;
        std::vector<CompleteInfoObject> records(objects.size());
        const auto blob = [](ByteView b) { return ZKBlob{const_cast<uint8_t*>(b.data()), Len(b)}; };
        for (size_t i = 0; i < objects.size(); ++i) {
            const ValidationObject& o = objects[i];
            if (!Fits(o.cert)) return kInputTooLarge;
            records[i].Cert = blob(o.cert);
            for (size_t k = 0; k < o.crls.size() && k < ZK_COMPLETE_MAX_ITEMS; ++k) {
                if (!Fits(o.crls[k])) return kInputTooLarge;
                records[i].CRLs[k] = blob(o.crls[k]);
            }
            for (size_t k = 0; k < o.ocsps.size() && k < ZK_COMPLETE_MAX_ITEMS; ++k) {
                if (!Fits(o.ocsps[k])) return kInputTooLarge;
                records[i].OCSPs[k] = blob(o.ocsps[k]);
            }
        }
        if (records.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return kInputTooLarge;
        return TwoCalls(result, false, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLCTX_SetCompleteInfo>(container.data(), Len(container), signIndex, records.data(),
                                                          static_cast<int32_t>(records.size()), buffer, len);
        });
    });
}

// --- protected documents

bool LibraryNeedsSenderCert(int libIndex) {
    const Binding& b = Get();
    return libIndex >= 0 && libIndex < b.libCount && b.table[libIndex].NeedsSenderCert != 0;
}

std::string LibraryCode(int libIndex) {
    const Binding& b = Get();
    if (libIndex < 0 || libIndex >= b.libCount) return {};
    return Text(b.table[libIndex].Code, sizeof b.table[libIndex].Code);
}

int DetectBlock(ByteView data, int32_t* libIndex) {
    if (libIndex) *libIndex = -1;
    auto fn = Slot<ZKLD_SLOT_DETECT_BLOCK>();
    if (!fn || data.empty() || !Fits(data)) return 0;
    return fn(Get().context, data.data(), Len(data), libIndex);
}

int LibRemoveSignature(const Site& site, int32_t lib, ByteView data, Output& content, Output& signerCert) {
    return Logged(site, "RemoveSignature", [&] {
        content.Release();
        signerCert.Release();
        if (!Fits(data)) return kInputTooLarge;
        uint32_t contentSize = 0, certSize = 0;
        int code = CallSlot<ZKLD_SLOT_REMOVE_SIGNATURE>(lib, data.data(), Len(data), nullptr, &contentSize, nullptr,
                                                        &certSize);
        if (code != 0) return code;
        uint8_t* c = content.Allocate(contentSize, true);
        uint8_t* s = signerCert.Allocate(certSize, false);
        uint32_t contentLen = contentSize, certLen = certSize;
        code = CallSlot<ZKLD_SLOT_REMOVE_SIGNATURE>(lib, data.data(), Len(data), c, &contentLen, s, &certLen);
        if (code != 0) {
            content.Release();
            signerCert.Release();
            return code;
        }
        content.SetSize(contentLen);
        signerCert.SetSize(certLen);
        return code;
    });
}

int LibEncrypt(const Site& site, int32_t lib, ByteView data, ByteView recipientCert, const KeyRef& key,
               ByteView senderCert, const char* pass, Output& out) {
    return Logged(site, "Encrypt", [&] {
        if (!Fits(data) || !Fits(recipientCert) || !Fits(key.bytes) || !Fits(senderCert)) return kInputTooLarge;
        return TwoCalls(out, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_ENCRYPT>(lib, data.data(), Len(data), buffer, len, recipientCert.data(),
                                               Len(recipientCert), KeyData(key), KeyLength(key), senderCert.data(),
                                               Len(senderCert), pass);
        });
    });
}

int LibEncryptMany(const Site& site, int32_t lib, ByteView data, const std::vector<ByteView>& recipientCerts,
                   const KeyRef& key, ByteView senderCert, const char* pass, Output& out) {
    return Logged(site, "EncryptMany", [&] {
        if (!Fits(data) || !Fits(key.bytes) || !Fits(senderCert) ||
            recipientCerts.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
            return kInputTooLarge;
        std::vector<ZKBlob> blobs;
        for (ByteView cert : recipientCerts) {
            if (!Fits(cert)) return kInputTooLarge;
            blobs.push_back(ZKBlob{const_cast<uint8_t*>(cert.data()), Len(cert)});
        }
        return TwoCalls(out, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_ENCRYPT_MANY>(lib, data.data(), Len(data), buffer, len, blobs.data(),
                                                    static_cast<int32_t>(blobs.size()), KeyData(key), KeyLength(key),
                                                    senderCert.data(), Len(senderCert), pass, -1);
        });
    });
}

int LibDecrypt(const Site& site, int32_t lib, ByteView data, ByteView senderCert, ByteView recipientCert,
               const KeyRef& key, const char* pass, Output& out) {
    return Logged(site, "Decrypt", [&] {
        if (!Fits(data) || !Fits(senderCert) || !Fits(recipientCert) || !Fits(key.bytes)) return kInputTooLarge;
        const uint8_t* sender = senderCert.empty() ? nullptr : senderCert.data();
        return TwoCalls(out, true, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_DECRYPT>(lib, data.data(), Len(data), buffer, len, sender, Len(senderCert),
                                               recipientCert.data(), Len(recipientCert), KeyData(key),
                                               KeyLength(key), pass);
        });
    });
}

int UA1Decrypt(const Site& site, ByteView data, const KeyRef& key, const char* pass, ByteView cert, Output& out) {
    return Logged(site, "UA1Decrypt", [&] {
        if (!Fits(data) || !Fits(cert) || !Fits(key.bytes)) return kInputTooLarge;
        return TwoCalls(out, true, [&](uint8_t* buffer, uint32_t* len) {
            return Call<&Exports::ZKLUA1_Decrypt>(data.data(), Len(data), KeyData(key), KeyLength(key), pass,
                                                  cert.data(), Len(cert), buffer, len);
        });
    });
}

int Unwrap(const Site& site, std::span<uint8_t> data, size_t& size) {
    size = data.size();
    return Logged(site, "Unwrap", [&] {
        if (data.size() > std::numeric_limits<uint32_t>::max()) return kInputTooLarge;
        uint32_t len = static_cast<uint32_t>(data.size());
        const int code = CallSlot<ZKLD_SLOT_UNWRAP>(data.data(), &len);
        if (code == 0) size = std::min<size_t>(len, data.size());
        return code;
    });
}

int TimestampRead(const Site& site, ByteView data, TimestampInfo& info) {
    return Logged(site, "TimestampRead", [&] {
        return Fits(data) ? CallSlot<ZKLD_SLOT_TIMESTAMP_READ>(data.data(), Len(data), &info) : kInputTooLarge;
    });
}

int TimestampRemove(const Site& site, ByteView data, Output& content) {
    return Logged(site, "TimestampRemove", [&] {
        if (!Fits(data)) return kInputTooLarge;
        return TwoCalls(content, false, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_TIMESTAMP_REMOVE>(data.data(), Len(data), buffer, len);
        });
    });
}

int LibReadCert(const Site& site, int32_t lib, ByteView cert, ProviderCertInfo& info) {
    return Logged(site, "ReadCert", [&] {
        return Fits(cert) ? CallSlot<ZKLD_SLOT_READ_CERT>(lib, cert.data(), Len(cert), &info) : kInputTooLarge;
    });
}

int RecipientCerts(const Site& site, ByteView envelope, std::vector<std::vector<uint8_t>>& certs) {
    return Logged(site, "RecipientCerts", [&] {
        certs.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        // One buffer of the contract's key buffer size per recipient.
        std::vector<std::vector<uint8_t>> room(static_cast<size_t>(count), std::vector<uint8_t>(ZK_KEY_BUFFER_SIZE));
        std::vector<ZKBlob> blobs;
        for (auto& r : room) blobs.push_back(ZKBlob{r.data(), static_cast<uint32_t>(r.size())});
        code = CallSlot<ZKLD_SLOT_RECIPIENT_CERTS>(envelope.data(), Len(envelope), blobs.data(), &count);
        if (code != 0) return code;
        for (int32_t i = 0; i < count && static_cast<size_t>(i) < room.size(); ++i) {
            room[i].resize(std::min<size_t>(blobs[i].length, room[i].size()));
            certs.push_back(std::move(room[i]));
        }
        return code;
    });
}

int RecipientInfos(const Site& site, ByteView envelope, std::vector<ProviderCertInfo>& infos) {
    return Logged(site, "RecipientInfos", [&] {
        infos.clear();
        if (!Fits(envelope)) return kInputTooLarge;
        int32_t count = 0;
        int code = CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(envelope.data(), Len(envelope), nullptr, &count);
        if (code != 0 || count <= 0) return code;
        infos.assign(static_cast<size_t>(count), ProviderCertInfo{});  // zeroed: no identifier slots
        code = CallSlot<ZKLD_SLOT_RECIPIENT_INFOS>(envelope.data(), Len(envelope), infos.data(), &count);
        infos.resize(code == 0 ? std::min(infos.size(), static_cast<size_t>(std::max(count, 0))) : 0);
        return code;
    });
}

bool HasPageCipher() {
    return Slot<ZKLD_SLOT_CIPHER_CREATE>() && Slot<ZKLD_SLOT_CIPHER_RUN>() && Slot<ZKLD_SLOT_CIPHER_FREE>();
}

int PageCipherTransform(int32_t lib, ByteView key, const uint8_t (&iv)[8], std::span<uint8_t> data) {
    if (!Fits(key) || data.size() > std::numeric_limits<uint32_t>::max()) return kInputTooLarge;
    void* cipher = nullptr;
    int code = CallSlot<ZKLD_SLOT_CIPHER_CREATE>(lib, key.data(), Len(key), iv, &cipher);
    if (code != 0) return code;
    if (!cipher) return kMissingOperation;
    code = CallSlot<ZKLD_SLOT_CIPHER_RUN>(cipher, data.data(), static_cast<uint32_t>(data.size()));
    CallSlot<ZKLD_SLOT_CIPHER_FREE>(cipher);
    return code;
}

}  // namespace zk::provider
