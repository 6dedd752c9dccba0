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
// The keys are decrypted only withKeys; otherwise (and without a password)
// they stay shut (StoreKey::key null), each with its certificate: by its
// place in a JKS entry, or by the localKeyId it shares with a PKCS#12
// certificate bag (a PKCS#12 store whose keys that does not pair has them
// decrypted to pair them by public key).
// Without a password (nullptr) the certificates are read unchecked (no JKS
// digest, no PKCS#12 MAC: certificates are public); a PKCS#12 store whose
// certificates are encrypted gives 8 unless they open with the empty password.
int OpenKeyStore(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyStore& out);

}  // namespace zkd
