// Password-protected key files: PKCS#12 holding one or two private keys (a
// signing and a key-agreement key, with their certificates when present), or
// one encrypted PKCS#8 key in DER or PEM. Every operation on key files (pair
// checks, password changes, identifiers, signing, decryption) opens them here.
#pragma once
#include <string>
#include <vector>

#include "zelkord/Ossl.h"

namespace zkd {

enum class KeyFileKind { Pkcs12, Pkcs8Der, Pkcs8Pem };

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
    std::vector<KeyFileCert> certs;  // certificates a PKCS#12 file carries
};

// Largest key file accepted.
constexpr size_t kMaxKeyFileSize = 10u << 20;

// Opens a key file with a Windows-1251 password. Returns 0; 7 when the bytes
// are no key file of a known kind (or are damaged beyond parsing); 8 when the
// file does not open with the password. The failure reason is recorded as the
// provider's last error.
int OpenKeyFile(const uint8_t* data, size_t len, const char* password, KeyFile& out);

// Opens a PKCS#12 file that may hold certificates alone (a key store):
// codes as OpenKeyFile.
int OpenPkcs12Store(const uint8_t* data, size_t len, const char* password, KeyFile& out);

// Encodes the keys (and, for PKCS#12, the certificates with their bag
// attributes) under a Windows-1251 password: PBES2 with PBKDF2-HMAC-SHA256 and
// AES-256-CBC; a PKCS#12 MAC with HMAC-SHA256. PKCS#8 holds exactly one key.
int WriteKeyFile(const KeyFile& file, KeyFileKind kind, const char* password, Bytes& out);

// Index of the key that belongs to cert, or -1.
int FindKeyFor(const KeyFile& file, X509* cert);

}  // namespace zkd
