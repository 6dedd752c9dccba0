// Operations on key files: pair checks, password changes, key identifiers,
// splitting a file into its keys, and random blocks.
#include <openssl/rand.h>

#include <cstring>

#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/KeyFile.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

void PutId(char* buffer, const std::string& id) {
    if (buffer) zk::WriteTextField(buffer, ZK_ID_TEXT_SIZE, id);
}

int CheckPair(const uint8_t* cert, uint32_t certLen, const uint8_t* key, ZKKeyLen keyLen, const char* pass) {
    X509Ptr x = ParseCertificate(cert, certLen);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    PrivateKey opened;
    return OpenPrivateKey(key, keyLen, pass, x.get(), opened);
}

int ChangePassword(const char* oldPass, const uint8_t* key, uint32_t keyLen, const char* newPass, uint8_t* out,
                   uint32_t* outLen) {
    KeyFile file;
    if (int rc = OpenKeyFile(key, keyLen, oldPass, file)) return rc;
    zk::SecretBytes encoded;  // a re-encoded key file, wiped once copied out
    if (int rc = WriteKeyFile(file, file.kind, newPass, encoded.bytes())) return rc;
    if (!out) KeepForNextOpening(key, keyLen, oldPass, std::move(file));
    return PutOutput(encoded.bytes().data(), encoded.bytes().size(), out, outLen);
}

int SlotCheckKeyPair(ZKLDContext ctx, int32_t lib, const uint8_t* key, ZKKeyLen keyLen, const uint8_t* cert,
                     uint32_t certLen, const char* pass) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    return CheckPair(cert, certLen, key, keyLen, pass);
}

int SlotChangeKeyPassword(ZKLDContext ctx, int32_t lib, const uint8_t* key, uint32_t keyLen, const char* oldPass,
                          const char* newPass, uint8_t* out, uint32_t* outLen) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "unknown crypto library");
    return ChangePassword(oldPass, key, keyLen, newPass, out, outLen);
}

int CheckKeyPairExport(const uint8_t* cert, uint32_t certLen, const uint8_t* key, uint32_t keyLen, const char* pass) {
    return CheckPair(cert, certLen, key, keyLen, pass);
}

int ChangeKeyPasswordExport(const char* oldPass, const uint8_t* key, uint32_t keyLen, const char* newPass,
                            uint8_t* out, uint32_t* outLen) {
    return ChangePassword(oldPass, key, keyLen, newPass, out, outLen);
}

// The identifiers of the first and the second key of the file; empty texts
// where the file holds no such key.
int GetSubjectKeyIdentifier(const uint8_t* key, uint32_t keyLen, const char* pass, char* id1, char* id2) {
    PutId(id1, "");
    PutId(id2, "");
    KeyFile file;
    if (int rc = OpenKeyFile(key, keyLen, pass, file)) return rc;
    PutId(id1, file.keys[0].id);
    if (file.keys.size() > 1) PutId(id2, file.keys[1].id);
    return ZK_E_OK;
}

// Splits a key file into its (at most two) keys, each written as an encrypted
// PKCS#8 file (DER) under the same password, with their identifiers. Null key
// buffers are skipped; a null buffer with a length pointer learns the length.
int AcquireKey(const uint8_t* key, uint32_t keyLen, const char* pass, uint8_t* key1, uint32_t* key1Len, uint8_t* key2,
               uint32_t* key2Len, char* id1, char* id2) {
    PutId(id1, "");
    PutId(id2, "");
    KeyFile file;
    if (int rc = OpenKeyFile(key, keyLen, pass, file)) return rc;
    uint8_t* outs[2] = {key1, key2};
    uint32_t* lens[2] = {key1Len, key2Len};
    char* ids[2] = {id1, id2};
    for (size_t i = 0; i < 2; ++i) {
        if (i >= file.keys.size()) {
            if (lens[i]) *lens[i] = 0;
            continue;
        }
        PutId(ids[i], file.keys[i].id);
        if (!lens[i]) continue;
        KeyFile single;
        single.keys.push_back(std::move(file.keys[i]));
        zk::SecretBytes encoded;  // a re-encoded key file, wiped once copied out
        if (int rc = WriteKeyFile(single, KeyFileKind::Pkcs8Der, pass, encoded.bytes())) return rc;
        if (int rc = PutOutput(encoded.bytes().data(), encoded.bytes().size(), outs[i], lens[i])) return rc;
    }
    return ZK_E_OK;
}

int GetRandomBlock(uint8_t* out, uint32_t len) {
    if (len == 0) return ZK_E_OK;
    if (!out) return Fail(ZK_E_BAD_REQUEST_PARAMS, "no buffer for the random block");
    if (len > INT32_MAX || RAND_bytes(out, static_cast<int>(len)) != 1)
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "random generator failed");
    return ZK_E_OK;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_CHECK_KEY_PAIR, SlotCheckKeyPair);
ZKD_SLOT(ZKLD_SLOT_CHANGE_KEY_PASSWORD, SlotChangeKeyPassword);
ZKD_EXPORT(ZKLCTX_CheckKeyPair, CheckKeyPairExport);
ZKD_EXPORT(ZKLCTX_ChangeKeyPassword, ChangeKeyPasswordExport);
ZKD_EXPORT(ZKLCTX_GetSubjectKeyIdentifier, GetSubjectKeyIdentifier);
ZKD_EXPORT(ZKLSVC_AcquireKey, AcquireKey);
ZKD_EXPORT(ZKLCTX_GetRandomBlock, GetRandomBlock);

}  // namespace zkd
