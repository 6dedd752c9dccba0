// A private key that stays on its token, as an EVP_PKEY that OpenSSL's
// signing (CMS, requests), decryption (RSA, with OAEP done in software over
// the token's raw RSA) and key agreement (ECDH) use: each private-key
// operation is done by the token through its connection (C_Sign, C_Decrypt,
// C_DeriveKey); the key never leaves it.
//
// Written against OpenSSL's RSA and EC key methods rather than taken from
// libp11: the key must follow this provider's own connections (one session
// per token at a time, logins that end with the request) and keys that ask
// for their PIN at every use, which libp11's slot and key caches do not know.
#pragma once
#include <p11-kit/pkcs11.h>

#include <memory>

#include "zelkord/Ossl.h"
#include "zelkord/TokenConnection.h"

namespace zkd {

// The token's private key whose public key is publicKey: 0 with the key in
// out; 6 when the token holds no such key (or does not show it without the
// PIN); 16 when the token fails.
int OpenTokenPrivateKey(const std::shared_ptr<TokenConnection>& connection, EVP_PKEY* publicKey, PKeyPtr& out);

// The EVP_PKEY of a known private key object with its public key.
PKeyPtr WrapTokenPrivateKey(const std::shared_ptr<TokenConnection>& connection, CK_OBJECT_HANDLE privateKey,
                            EVP_PKEY* publicKey);

}  // namespace zkd
