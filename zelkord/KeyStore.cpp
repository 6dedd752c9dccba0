#include "zelkord/KeyStore.h"

#include <openssl/err.h>

#include <algorithm>

#include "zelkord/Errors.h"
#include "zelkord/JksStore.h"
#include "zelkord/KeyFile.h"

namespace zkd {
namespace {

// Adds a certificate once; returns the store's copy.
X509* AddCert(KeyStore& store, X509Ptr cert, bool owner) {
    for (StoreCert& c : store.certs)
        if (X509_cmp(c.cert.get(), cert.get()) == 0) {
            c.owner = c.owner || owner;
            return c.cert.get();
        }
    store.certs.push_back({std::move(cert), owner});
    return store.certs.back().cert.get();
}

int OpenJks(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyStore& out) {
    std::vector<JksEntry> entries;
    if (int rc = ReadJks(data, len, password, entries)) return rc;
    for (JksEntry& e : entries) {
        X509* own = nullptr;
        for (size_t i = 0; i < e.certs.size(); ++i) {
            X509Ptr x = ParseCertificate(e.certs[i].data(), e.certs[i].size());
            if (!x) return Fail(ZK_E_DAMAGED, "a certificate of the Java key store is damaged");
            X509* kept = AddCert(out, std::move(x), e.isKey && i == 0);
            if (i == 0) own = kept;
        }
        if (!e.isKey) continue;
        StoreKey key;
        key.cert = own;
        // A key under a password of its own stays closed; its certificates are still the store's.
        if (withKeys && OpenJksKey(e.protectedKey, password, key.key) != ZK_E_OK) key.key.reset();
        out.keys.push_back(std::move(key));
    }
    return ZK_E_OK;
}

// The certificate bag that shares a shut key's localKeyId, or -1.
int CertOfShutKey(const KeyFile& file, const Bytes& keyId) {
    for (size_t i = 0; i < file.certs.size() && !keyId.empty(); ++i)
        if (file.certs[i].localKeyId == keyId) return static_cast<int>(i);
    return -1;
}

// Whether every shut key of the file is paired with a certificate by its localKeyId.
bool ShutKeysPaired(const KeyFile& file) {
    return std::all_of(file.shutKeyIds.begin(), file.shutKeyIds.end(),
                       [&](const Bytes& id) { return CertOfShutKey(file, id) >= 0; });
}

// The certificates alone need no private key: the keys stay shut, each known
// by the localKeyId it shares with its certificate bag (as the tools that
// make PKCS#12 files pair them), and are opened (with the password) only
// when that does not pair them all, to pair them by their public keys.
int OpenPkcs12(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyStore& out) {
    KeyFile file;
    if (int rc = OpenPkcs12Store(data, len, password, withKeys, file)) return rc;
    if (!withKeys && password && !ShutKeysPaired(file))
        if (int rc = OpenPkcs12Store(data, len, password, true, file)) return rc;
    std::vector<X509*> kept(file.certs.size());  // where each certificate of the file went
    for (size_t i = 0; i < file.certs.size(); ++i) kept[i] = AddCert(out, std::move(file.certs[i].cert), false);
    for (const Bytes& id : file.shutKeyIds) {
        StoreKey key;
        if (const int at = CertOfShutKey(file, id); at >= 0) key.cert = kept[static_cast<size_t>(at)];
        for (StoreCert& c : out.certs)
            if (key.cert && c.cert.get() == key.cert) c.owner = true;
        out.keys.push_back(std::move(key));
    }
    for (KeyFileKey& k : file.keys) {
        StoreKey key;
        for (StoreCert& c : out.certs)
            if (EVP_PKEY_eq(k.key.get(), X509_get0_pubkey(c.cert.get())) == 1) {
                c.owner = true;
                key.cert = c.cert.get();
                break;
            }
        key.key = std::move(k.key);
        out.keys.push_back(std::move(key));
    }
    ERR_clear_error();
    return ZK_E_OK;
}

}  // namespace

int OpenKeyStore(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyStore& out) {
    out = KeyStore{};
    if (!data || len == 0) return Fail(ZK_E_BAD_KEY_FORMAT, "the key store is empty");
    if (len > kMaxKeyFileSize) return Fail(ZK_E_BAD_KEY_FORMAT, "the key store is too large");
    const int rc = IsJks(data, len) ? OpenJks(data, len, password, withKeys, out)
                                    : OpenPkcs12(data, len, password, withKeys, out);
    if (rc != 0) out = KeyStore{};
    return rc;
}

}  // namespace zkd
