// Symmetric operations: the data cipher of the symmetric command (slot 36,
// AES-256-GCM) and the unit cipher that protects database files (slots 37 to
// 39, AES-256-CTR). Both take the AES key as SHA-256 of the caller's key
// bytes, so keys of any length shape to the 32 bytes AES-256 needs.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/OsslPtr.h"
#include "platform/SecureWipe.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

constexpr size_t kKeySize = 32;
constexpr size_t kNonceSize = 12;  // GCM nonce, random per encryption
constexpr size_t kTagSize = 16;

using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, zk::OsslFree<EVP_CIPHER_CTX_free>>;

// Fetched once: an implicit fetch on every initialisation is costly and the
// unit cipher is initialised once per 512 bytes of database I/O.
const EVP_CIPHER* Gcm() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return cipher;
}
const EVP_CIPHER* Ctr() {
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr);
    return cipher;
}

// The AES key: SHA-256 of the caller's key bytes (wiped by the caller).
bool ShapeKey(const uint8_t* key, uint32_t keyLen, uint8_t out[kKeySize]) {
    unsigned int n = 0;
    return key && keyLen > 0 && EVP_Digest(key, keyLen, out, &n, EVP_sha256(), nullptr) == 1 && n == kKeySize;
}

int Seal(const uint8_t* data, uint32_t len, const uint8_t* key, std::vector<uint8_t>& out) {
    out.assign(kNonceSize + len + kTagSize, 0);
    CipherCtxPtr c(EVP_CIPHER_CTX_new());
    int n = 0, tail = 0;
    bool ok = c && RAND_bytes(out.data(), kNonceSize) == 1 &&
              EVP_EncryptInit_ex2(c.get(), Gcm(), key, out.data(), nullptr) == 1 &&
              EVP_EncryptUpdate(c.get(), out.data() + kNonceSize, &n, data, static_cast<int>(len)) == 1 &&
              EVP_EncryptFinal_ex(c.get(), out.data() + kNonceSize + n, &tail) == 1 &&
              EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize), out.data() + kNonceSize + len) == 1;
    return ok ? ZK_E_OK : Fail(ZK_E_SIGN_OR_PASSWORD, "AES-GCM encryption failed");
}

int Open(const uint8_t* data, uint32_t len, const uint8_t* key, std::vector<uint8_t>& out) {
    const size_t plainLen = len - kNonceSize - kTagSize;  // len checked by the caller
    out.assign(plainLen, 0);
    CipherCtxPtr c(EVP_CIPHER_CTX_new());
    std::vector<uint8_t> tag(data + len - kTagSize, data + len);
    int n = 0, tail = 0;
    bool ok = c && EVP_DecryptInit_ex2(c.get(), Gcm(), key, data, nullptr) == 1 &&
              EVP_DecryptUpdate(c.get(), out.data(), &n, data + kNonceSize, static_cast<int>(plainLen)) == 1 &&
              EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize), tag.data()) == 1 &&
              EVP_DecryptFinal_ex(c.get(), out.data() + n, &tail) == 1;
    if (ok) return ZK_E_OK;
    zk::SecureWipe(out);
    return Fail(ZK_E_INTEGRITY, "Integrity check of the encrypted data failed");
}

// Slot 36. Output of encryption: nonce || ciphertext || tag. The first call
// (no buffer) reports the length without doing the work.
int Symmetric(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out, uint32_t* outLen,
              const uint8_t* key, uint32_t keyLen, int32_t, int32_t, int32_t mode) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "Unknown crypto library");
    if ((!data && len) || !outLen || !key || keyLen == 0) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data or key");
    if (mode != ZK_SYMMETRIC_ENCRYPT && mode != ZK_SYMMETRIC_DECRYPT) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Unknown mode");
    const bool encrypt = mode == ZK_SYMMETRIC_ENCRYPT;
    if (!encrypt && len < kNonceSize + kTagSize) return Fail(ZK_E_INTEGRITY, "Encrypted data too short");
    if (len > INT_MAX - kNonceSize - kTagSize) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Data too large");
    const size_t resultLen = encrypt ? len + kNonceSize + kTagSize : len - kNonceSize - kTagSize;
    if (!out) return PutOutput(nullptr, resultLen, nullptr, outLen);
    if (*outLen < resultLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");

    uint8_t aesKey[kKeySize];
    if (!ShapeKey(key, keyLen, aesKey)) return Fail(ZK_E_SIGN_OR_PASSWORD, "Key derivation failed");
    std::vector<uint8_t> result;
    int rc = encrypt ? Seal(data, len, aesKey, result) : Open(data, len, aesKey, result);
    zk::SecureWipe(aesKey, sizeof aesKey);
    if (rc == 0) rc = PutOutput(result.data(), result.size(), out, outLen);
    zk::SecureWipe(result);
    return rc;
}

// Slots 37 to 39: a CTR context whose counter block is the caller's 8 bytes
// followed by a 64-bit block counter from 0. Running it is its own inverse.
int CipherCreate(ZKLDContext ctx, int32_t lib, const uint8_t* key, uint32_t keyLen, const uint8_t iv[8],
                 void** cipher) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "Unknown crypto library");
    if (!key || keyLen == 0 || !iv || !cipher) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing key, IV or context");
    *cipher = nullptr;
    uint8_t aesKey[kKeySize];
    uint8_t counter[16] = {};
    std::memcpy(counter, iv, 8);
    CipherCtxPtr c(EVP_CIPHER_CTX_new());
    bool ok = ShapeKey(key, keyLen, aesKey) && c &&
              EVP_EncryptInit_ex2(c.get(), Ctr(), aesKey, counter, nullptr) == 1;
    zk::SecureWipe(aesKey, sizeof aesKey);
    if (!ok) return Fail(ZK_E_SIGN_OR_PASSWORD, "Cipher context not created");
    *cipher = c.release();
    return ZK_E_OK;
}

int CipherRun(ZKLDContext, void* cipher, uint8_t* data, uint32_t len) {
    if (!cipher || (!data && len) || len > INT_MAX) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing context or data");
    int n = 0;
    if (len && EVP_EncryptUpdate(static_cast<EVP_CIPHER_CTX*>(cipher), data, &n, data, static_cast<int>(len)) != 1)
        return Fail(ZK_E_SIGN_OR_PASSWORD, "Cipher failed");
    return ZK_E_OK;
}

int CipherFree(ZKLDContext, void* cipher) {
    EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(cipher));  // also wipes the key schedule
    return ZK_E_OK;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_SYMMETRIC, Symmetric);
ZKD_SLOT(ZKLD_SLOT_CIPHER_CREATE, CipherCreate);
ZKD_SLOT(ZKLD_SLOT_CIPHER_RUN, CipherRun);
ZKD_SLOT(ZKLD_SLOT_CIPHER_FREE, CipherFree);

}  // namespace zkd
