// Key operations: passwords, identifiers, random blocks, key files, stores, requests, key pairs.
#include "provider/Operations.h"

#include <algorithm>
#include <limits>

#include "provider/OperationCalls.h"

namespace zk::provider {
using namespace calls;

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

int LibSymmetric(const Site& site, int32_t lib, ByteView data, ByteView key, int32_t mode, Output& out) {
    return Logged(site, "Symmetric", [&] {
        if (!Fits(data) || !Fits(key)) return kInputTooLarge;
        return TwoCalls(out, mode == ZK_SYMMETRIC_DECRYPT, [&](uint8_t* buffer, uint32_t* len) {
            return CallSlot<ZKLD_SLOT_SYMMETRIC>(lib, data.data(), Len(data), buffer, len, key.data(), Len(key), 0, 0,
                                                 mode);
        });
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

// --- key stores

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

}  // namespace zk::provider
