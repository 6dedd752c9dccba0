// Password-protected key files: PKCS#12 holding one or two private keys (a
// signing and a key-agreement key, with their certificates when present) or
// more (a key store), one encrypted PKCS#8 key in DER or PEM, or a Java key
// store (JksStore.h). Every operation on key files (pair checks, password
// changes, identifiers, signing, decryption) opens them here.
//
// Files made by other tools are read whatever password-based scheme they
// use: PBES2 (PBKDF2 or scrypt, any cipher OpenSSL has), the PKCS#12 schemes
// (RC2-40, RC2-128, RC4, 3DES) and PKCS#5 v1.5 (DES, RC2), the old ciphers
// through OpenSSL's legacy provider in the derivation context only
// (DerivationContext.h); every derivation is counted against the cap
// (DerivationBudget.h) before it runs. What is written is always PBES2 with
// PBKDF2-HMAC-SHA256 and AES-256-CBC.
#pragma once
#include <string>
#include <vector>

#include "zelkord/Ossl.h"

namespace zkd {

// Jks: read only; such a file is written back as PKCS#12 (see WriteKeyFile).
enum class KeyFileKind { Pkcs12, Pkcs8Der, Pkcs8Pem, Jks };

struct KeyFileKey {
    PKeyPtr key;
    std::string id;            // upper-case hex key identifier (see KeyIdentifierIn)
    std::string friendlyName;  // UTF-8; PKCS#12 bags only
    Bytes localKeyId;          // PKCS#12 bags only
};

struct KeyFileCert {
    X509Ptr cert;
    std::string friendlyName;
    Bytes localKeyId;
};

struct KeyFile {
    KeyFileKind kind = KeyFileKind::Pkcs8Der;
    std::vector<KeyFileKey> keys;    // in file order
    std::vector<KeyFileCert> certs;  // certificates a PKCS#12 file or a key store carries
    // A PKCS#12 store read without its keys: the localKeyId of each
    // encrypted key, left shut (OpenPkcs12Store).
    std::vector<Bytes> shutKeyIds;
};

// Largest key file accepted.
constexpr size_t kMaxKeyFileSize = 10u << 20;

// Opens a key file with a Windows-1251 password. Returns 0; 7 when the bytes
// are no key file of a known kind (or are damaged beyond parsing); 8 when the
// file does not open with the password. The failure reason is recorded as the
// provider's last error.
int OpenKeyFile(const uint8_t* data, size_t len, const char* password, KeyFile& out);

// A call that only learns the size of its output (the first of the two-call
// pattern) keeps the file it opened for the next opening on the same thread,
// which takes it when it is of the same bytes and password instead of
// deriving the keys again; any other opening drops it. So the pair of calls,
// and a password check followed by a reading of the same file, open a file
// once.
void KeepForNextOpening(const uint8_t* data, size_t len, const char* password, KeyFile&& file);

// Opens a PKCS#12 file that may hold certificates alone (a key store):
// codes as OpenKeyFile. Its encrypted keys are decrypted withKeys, else they
// stay shut (shutKeyIds). Without a password (nullptr) the file's MAC is not
// checked and the keys stay shut; encrypted certificates are tried with the
// empty password and otherwise give 8 (they need the store's password).
int OpenPkcs12Store(const uint8_t* data, size_t len, const char* password, bool withKeys, KeyFile& out);

// Encodes the keys (and, for PKCS#12, the certificates with their bag
// attributes) under a Windows-1251 password: PBES2 with PBKDF2-HMAC-SHA256 and
// AES-256-CBC; a PKCS#12 MAC with HMAC-SHA256. PKCS#8 holds exactly one key.
// A Java key store's contents are written as PKCS#12 (what Java reads as a
// key store as well): this library writes no JKS key protector.
int WriteKeyFile(const KeyFile& file, KeyFileKind kind, const char* password, Bytes& out);

// Index of the key that belongs to cert, or -1.
int FindKeyFor(const KeyFile& file, X509* cert);

}  // namespace zkd
