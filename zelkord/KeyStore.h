// Key stores the page gives to be looked into: PKCS#12 files (one or more
// keys; certificate bags encrypted or plain) and Java key stores (JKS),
// opened with the store's password. Their certificates in store order, each
// once, and their private keys with each key's own certificate.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zelkord/Ossl.h"

namespace zkd {

struct StoreCert {
    X509Ptr cert;
    bool owner = false;  // the certificate of one of the store's private keys
};

struct StoreKey {
    PKeyPtr key;            // null: the entry's key does not open with the store's password
    X509* cert = nullptr;   // its certificate among the store's (null when the store lacks it)
};

struct KeyStore {
    std::vector<StoreCert> certs;
    std::vector<StoreKey> keys;
};

// Opens a store: 0; 7 when the bytes are neither kind (or too large); 10
// when a Java key store is damaged; 8 when the store does not open with the
// password (for a Java key store: its integrity digest does not match).
// The keys of a Java key store are decrypted only withKeys (those of a
// PKCS#12 file always are).
int OpenKeyStore(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyStore& out);

}  // namespace zkd
