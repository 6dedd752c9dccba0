// The objects on a token that the provider works with: key pairs (a private
// and a public object sharing one CKA_ID, their label in CKA_LABEL as UTF-8),
// and files (data objects: the name in CKA_LABEL, the bytes in CKA_VALUE).
// Every function here runs on a connection whose lock the caller holds.
#pragma once
#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "zelkord/Ossl.h"
#include "zelkord/TokenConnection.h"

namespace zkd {

// Key identifiers longer than this (in bytes) cannot be shown in a TokenKey
// record and are not listed.
constexpr size_t kMaxTokenKeyId = 32;
// Largest token file written or read.
constexpr size_t kMaxTokenFile = 1u << 20;
// Longest file name (Windows-1251 bytes): it must fit a 65-byte name field.
constexpr size_t kMaxTokenFileName = ZK_NAME_SIZE - 1;

struct TokenKeyEntry {
    Bytes id;
    std::string label;  // UTF-8
};

// The key pairs in token order, by CKA_ID (private objects first, then public
// objects without a private one, which alone are visible without login).
std::vector<TokenKeyEntry> ListTokenKeys(TokenConnection& c);
// The objects of a key: its private and public objects.
std::vector<CK_OBJECT_HANDLE> KeyObjects(TokenConnection& c, const Bytes& id);
// A key identifier in hex (either case) as bytes; false when it is not hex.
bool ParseKeyId(const std::string& hex, Bytes& id);
// 0, or 16 when the token has no key with this identifier.
int SetTokenKeyLabel(TokenConnection& c, const Bytes& id, const std::string& labelUtf8);
int DeleteTokenKey(TokenConnection& c, const Bytes& id);

// Public key of a key pair as an ordinary OpenSSL key: from the public
// object of its CKA_ID, else from the private object's public attributes
// (RSA). nullptr when the token does not show it.
PKeyPtr TokenPublicKey(TokenConnection& c, CK_OBJECT_HANDLE privateKey);

// The data objects' names (UTF-8) in token order.
std::vector<std::string> ListTokenFiles(TokenConnection& c);
// 0, or 16 when there is no such file or it is larger than kMaxTokenFile.
int ReadTokenFile(TokenConnection& c, const std::string& nameUtf8, Bytes& out);
// Replaces the file of this name (a new object first, then the old ones
// go). 0 or 16.
int WriteTokenFile(TokenConnection& c, const std::string& nameUtf8, const uint8_t* data, size_t len);

// What kind of key pair to generate on a token.
struct KeyPairKind {
    int ecNid = 0;                    // a named curve, or
    int rsaBits = 0;                  // an RSA modulus length
    const EVP_MD* digest = nullptr;   // what the key signs with
    bool sign = true;                 // CKA_SIGN
    bool agree = false;               // CKA_DERIVE (EC) or CKA_DECRYPT (RSA)
};

struct GeneratedKeyPair {
    CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE, publicKey = CK_INVALID_HANDLE;
    PKeyPtr publicPKey;
    Bytes id;  // SHA-1 of the public key bits, also its CKA_ID
};

// Generates a key pair that never leaves the token (sensitive, not
// extractable), labels it and gives it the identifier that certificates of
// its key will carry. 0 or 16 (nothing is left behind on failure).
int GenerateTokenKeyPair(TokenConnection& c, const KeyPairKind& kind, const std::string& labelUtf8,
                         GeneratedKeyPair& out);
void DestroyTokenKeyPair(TokenConnection& c, const GeneratedKeyPair& pair);

}  // namespace zkd
