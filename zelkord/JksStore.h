// Java key stores of the "JKS" type, read. No Debian library reads this
// format from C++ (the Java runtime's own reader is Java), so it is read here,
// within the bounds of the bytes given; the whole store is checked against
// its keyed integrity digest before any entry is handed out.
//
// Layout (integers big-endian):
//   magic FEEDFEED, version (1 or 2), number of entries;
//   each entry: tag (1 private key, 2 trusted certificate), alias (16-bit
//   length and modified UTF-8), creation time (64-bit milliseconds), then
//     a private key: 32-bit length and the protected key (an
//       EncryptedPrivateKeyInfo of the JKS key protector), 32-bit number of
//       certificates and the certificates, the key's own first;
//     a trusted certificate: one certificate;
//   where a certificate is (version 2 only) its type as a 16-bit length and
//   text ("X.509"), then a 32-bit length and its DER;
//   the integrity digest: SHA-1 over the password (UTF-16BE), the text
//   "Mighty Aphrodite" and every byte before the digest.
// The JKS key protector: salt (20 bytes), the PKCS#8 PrivateKeyInfo XOR-ed
// with SHA-1(password, salt), SHA-1(password, that digest), ..., and the
// check SHA-1(password, PrivateKeyInfo).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelkord/KeyFile.h"
#include "zelkord/Ossl.h"

namespace zkd {

struct JksEntry {
    bool isKey = false;
    std::string alias;         // as stored (modified UTF-8: UTF-8 for the characters aliases use)
    Bytes protectedKey;        // key entries: the EncryptedPrivateKeyInfo as stored
    std::vector<Bytes> certs;  // the DER certificates: a key's chain (its own first), or the trusted one
};

// The most certificates one store may hold (all entries together).
constexpr size_t kMaxJksCertificates = 1024;

// True when the bytes begin with the JKS magic.
bool IsJks(const uint8_t* data, size_t len);

// Reads a store with its Windows-1251 password: 0 with the entries in store
// order; 10 when the bytes are not laid out as a JKS store (truncated,
// lengths beyond the bytes, trailing bytes, an unknown entry tag or
// certificate type, more than kMaxJksCertificates certificates); 8 when
// the integrity digest does not match (a wrong password, or the store was
// altered). Nothing is read into entries unless the digest matches.
// Without a password (nullptr) the digest is not checked: the entries are
// read as laid out (what the store says stays unconfirmed; its keys stay
// shut without a password anyway).
int ReadJks(const uint8_t* data, size_t len, const char* password, std::vector<JksEntry>& entries);

// The private key of a key entry: 0; 8 when it does not open with the
// password; 7 when the protected key is not of the JKS key protector or
// holds no key of a known kind.
int OpenJksKey(const Bytes& protectedKey, const char* password, PKeyPtr& key);

// A store used as a key file (found by the key search, or sent as the
// signer's key): the digest checked and every key opened with the one
// password (a key under a password of its own makes the file not open with
// it: 8), the keys in store order, each with its own certificate; the
// certificates of the store, each once. Codes as ReadJks and OpenJksKey; 7
// when the store holds no key.
int ReadJksKeyFile(const uint8_t* data, size_t len, const char* password, KeyFile& out);

}  // namespace zkd
