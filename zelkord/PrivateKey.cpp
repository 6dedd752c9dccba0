#include "zelkord/PrivateKey.h"

#include <openssl/crypto.h>

#include <atomic>
#include <map>
#include <mutex>

#include "zelkord/Context.h"
#include "zelkord/Errors.h"
#include "zelkord/KeyHandles.h"
#include "zelkord/Registry.h"
#include "zelkord/SignatureTemplate.h"
#include "zelkord/TokenConnection.h"
#include "zelkord/TokenPrivateKey.h"

namespace zkd {
namespace {

// Room for the secret parts of the kept keys and of the operations running
// with them (an RSA-4096 key takes a few KiB); a power of two, as OpenSSL
// asks. Locked in memory where the limit of locked memory allows.
constexpr size_t kSecureHeapSize = 4u << 20;
constexpr size_t kSecureHeapMinimum = 32;
// Kept keys at once: one per certificate with a kept password.
constexpr size_t kMaxKeptKeys = 1024;

struct KeptKeys {
    std::mutex lock;
    std::map<ZKTokenKey, std::shared_ptr<KeptKey>> open;
};

KeptKeys& TheKeptKeys() {
    static KeptKeys* keys = new KeptKeys;  // never destroyed: the library may end after its statics
    return *keys;
}

std::shared_ptr<KeptKey> FindKeptKey(ZKTokenKey handle) {
    KeptKeys& k = TheKeptKeys();
    std::lock_guard<std::mutex> hold(k.lock);
    auto it = k.open.find(handle);
    return it == k.open.end() ? nullptr : it->second;
}

int OpenKeyExport(const uint8_t* cert, uint32_t certLen, const uint8_t* key, uint32_t keyLen, const char* pass,
                  ZKTokenKey* handle) {
    if (!handle || !key || !cert) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing arguments");
    *handle = 0;
    X509Ptr x = ParseCertificate(cert, certLen);
    if (!x) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    return KeepKeyOpen(key, keyLen, pass, x.get(), *handle);
}

int CloseKeyExport(ZKTokenKey handle) { return CloseKeptKey(handle); }

}  // namespace

bool PrepareSecureHeap() {
    if (CRYPTO_secure_malloc_initialized()) return true;
    switch (CRYPTO_secure_malloc_init(kSecureHeapSize, kSecureHeapMinimum)) {
        case 1: return true;
        case 2:
            ZKD_LOG("Secure heap without locked pages (limit of locked memory)");
            return true;
        default:
            ZKD_LOG("Secure heap not available");
            return false;
    }
}

int KeepKeyOpen(const uint8_t* key, size_t keyLen, const char* pass, X509* cert, ZKTokenKey& handle) {
    handle = 0;
    KeyFile file;
    if (int rc = OpenKeyFile(key, keyLen, pass, file)) return rc;
    const int index = FindKeyFor(file, cert);
    if (index < 0) return Fail(ZK_E_KEY_MISMATCH, "the key file holds no key of this certificate");
    auto kept = std::make_shared<KeptKey>();
    kept->key = std::move(file.keys[static_cast<size_t>(index)].key);
    KeptKeys& k = TheKeptKeys();
    std::lock_guard<std::mutex> hold(k.lock);
    if (k.open.size() >= kMaxKeptKeys) return Fail(ZK_E_BAD_REQUEST_PARAMS, "too many keys kept open");
    handle = NewKeyHandle();
    k.open.emplace(handle, std::move(kept));
    return ZK_E_OK;
}

int CloseKeptKey(ZKTokenKey handle) {
    std::shared_ptr<KeptKey> gone;  // freed after the lock is let go
    KeptKeys& k = TheKeptKeys();
    std::lock_guard<std::mutex> hold(k.lock);
    auto it = k.open.find(handle);
    if (it == k.open.end()) return Fail(ZK_E_DONGLE, "no key kept open with this handle");
    gone = std::move(it->second);
    k.open.erase(it);
    return ZK_E_OK;
}

void CloseAllKeptKeys() {
    std::map<ZKTokenKey, std::shared_ptr<KeptKey>> gone;
    KeptKeys& k = TheKeptKeys();
    std::lock_guard<std::mutex> hold(k.lock);
    gone.swap(k.open);
}

int CheckKeyReachable(const uint8_t* key, ZKKeyLen keyLen) {
    if (key || FindKeptKey(static_cast<ZKTokenKey>(keyLen))) return ZK_E_OK;
    return FindConnection(static_cast<ZKTokenKey>(keyLen)) ? ZK_E_OK : ZK_E_DONGLE;
}

int OpenPrivateKey(const uint8_t* key, ZKKeyLen keyLen, const char* pass, X509* cert, PrivateKey& out) {
    out = PrivateKey();
    if (!cert) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    if (!key) {
        // Kept open (its certificate was checked when it was opened), or on a
        // token (the PIN was given when it was connected).
        if ((out.kept_ = FindKeptKey(static_cast<ZKTokenKey>(keyLen)))) {
            if (X509_check_private_key(cert, out.kept_->key.get()) != 1) {
                out = PrivateKey();
                return Fail(ZK_E_KEY_MISMATCH, "the kept key is not the key of this certificate");
            }
            out.key_ = out.kept_->key.get();
            return ZK_E_OK;
        }
        std::shared_ptr<TokenConnection> connection = FindConnection(static_cast<ZKTokenKey>(keyLen));
        if (!connection) return ZK_E_DONGLE;
        if (int rc = OpenTokenPrivateKey(connection, X509_get0_pubkey(cert), out.owned_)) return rc;
        out.key_ = out.owned_.get();
        return ZK_E_OK;
    }
    if (int rc = OpenKeyFile(key, static_cast<size_t>(keyLen), pass, out.file_)) return rc;
    int index = FindKeyFor(out.file_, cert);
    if (index < 0) return Fail(ZK_E_KEY_MISMATCH, "the key file holds no key of this certificate");
    out.key_ = out.file_.keys[static_cast<size_t>(index)].key.get();
    return ZK_E_OK;
}

bool FindKeptSigning(ZKTokenKey handle, const uint8_t* cert, size_t certLen, KeptSigning& out) {
    out = KeptSigning{};
    std::shared_ptr<KeptKey> kept = FindKeptKey(handle);
    if (!kept) return false;
    std::lock_guard<std::mutex> hold(kept->lock);
    if (!kept->signing || !kept->signing->IsFor(cert, certLen)) return false;
    out.signing = kept->signing;
    out.key = kept->key.get();
    out.kept = std::move(kept);
    return true;
}

void RememberSigning(const PrivateKey& key, X509* cert) {
    if (!key.kept_) return;
    {
        std::lock_guard<std::mutex> hold(key.kept_->lock);
        if (key.kept_->noTemplate) return;
    }
    std::shared_ptr<const SignatureTemplate> made = SignatureTemplate::Make(cert, key.kept_->key.get());
    std::lock_guard<std::mutex> hold(key.kept_->lock);
    if (made)
        key.kept_->signing = std::move(made);
    else
        key.kept_->noTemplate = true;  // such a key signs the usual way, without trying again
}

ZKD_EXPORT(ZKLCTX_OpenKey, OpenKeyExport);
ZKD_EXPORT(ZKLCTX_CloseKey, CloseKeyExport);

}  // namespace zkd
