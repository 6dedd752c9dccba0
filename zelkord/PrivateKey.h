// The private key of one certificate, wherever it lives: in a password-
// protected key file given as bytes, on a hardware key token, or kept open
// for the host (for the last two the key bytes are absent and the length
// argument carries the handle: handles of both kinds come from one counter).
// Every operation that acts with the user's private key (signing, container
// signatures, decryption, signed requests) opens it here, so that a new kind
// of key store is added in one place.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "provider/ZelkorD.h"
#include "zelkord/KeyFile.h"
#include "zelkord/Ossl.h"

namespace zkd {

class SignatureTemplate;

// A key kept open for the host, with the template of its signatures for the
// certificate it last signed for (SignatureTemplate.h).
struct KeptKey {
    PKeyPtr key;
    std::mutex lock;  // over signing
    std::shared_ptr<const SignatureTemplate> signing;
    bool noTemplate = false;  // none could be made for this key
};

class PrivateKey {
public:
    // The key to use; valid while this object lives. A token key does its
    // private-key operations on the token, which stays connected meanwhile.
    EVP_PKEY* get() const { return key_; }

private:
    friend int OpenPrivateKey(const uint8_t*, ZKKeyLen, const char*, X509*, PrivateKey&);
    friend void RememberSigning(const PrivateKey&, X509*);
    KeyFile file_;       // a key file's keys (their memory is the file's)
    PKeyPtr owned_;      // a key held for a token key
    std::shared_ptr<KeptKey> kept_;  // a key kept open for the host
    EVP_PKEY* key_ = nullptr;
};

// 0 when a key given this way can be opened at all: key bytes, or the handle
// of a connected token key; else 16. Cheap: lets a sizing call refuse before
// it promises a result.
int CheckKeyReachable(const uint8_t* key, ZKKeyLen keyLen);

// Opens the key that belongs to cert: 0; the key file's codes (7 unknown
// format, 8 wrong password); 6 when the key file or the token holds no key of
// cert; 16 when the token key is not connected or the token fails.
int OpenPrivateKey(const uint8_t* key, ZKKeyLen keyLen, const char* pass, X509* cert, PrivateKey& out);

// Keys kept open for the host (ZKLCTX_OpenKey ... ZKLCTX_CloseKey). Their
// secret parts live on OpenSSL's secure heap (locked pages, left out of core
// dumps, cleared when freed), which the library sets up when it starts.
// Opening is the pair check: 0 with the handle, or OpenPrivateKey's codes.
int KeepKeyOpen(const uint8_t* key, size_t keyLen, const char* pass, X509* cert, ZKTokenKey& handle);
// 0, or 16 when the handle names no kept key. A key in use by an operation
// goes when that operation ends.
int CloseKeptKey(ZKTokenKey handle);
// Closes every kept key (the library's end).
void CloseAllKeptKeys();
// Signing with a kept key without opening it again: the key kept with the
// handle, when its signature template is for this certificate (DER), which
// it was checked against when the template was made.
struct KeptSigning {
    std::shared_ptr<const SignatureTemplate> signing;
    EVP_PKEY* key = nullptr;          // valid while kept lives
    std::shared_ptr<KeptKey> kept;    // holds the key through the signature
};
bool FindKeptSigning(ZKTokenKey handle, const uint8_t* cert, size_t certLen, KeptSigning& out);
// After key (opened for cert) signed: when it is a kept key, its template
// for cert is made (once a certificate, replacing the one of another).
void RememberSigning(const PrivateKey& key, X509* cert);

// Sets up the secure heap once; false when it cannot be had at all.
bool PrepareSecureHeap();

}  // namespace zkd
