#include "provider/Operations.h"

#include <algorithm>
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
    bytes_ = std::make_unique_for_overwrite<uint8_t[]>(capacity);
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
        int code = Call<&Exports::ZKLCTX_ChangeKeyPassword>(oldPass, key.data(), Len(key), newPass, room.data(), &len);
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

int LibChangeKeyPassword(const Site& site, int32_t lib, ByteView key, const char* oldPass, const char* newPass,
                         Output& out) {
    return Logged(site, "ChangeKeyPassword", [&] {
        if (!Fits(key)) return kInputTooLarge;
        return TwoCalls(out, true, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_CHANGE_KEY_PASSWORD>(lib, key.data(), Len(key), oldPass, newPass, buffer, len);
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
