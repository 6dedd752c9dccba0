// The OpenSSL library context that the password-based key derivations of key
// files and key stores run in: the default provider's algorithms, with the
// digests that the derivations iterate passed through a small provider of
// this library's own. It asks the host, every few hundred digests, whether
// the request was given up (GiveUp.h) and then fails the digest, so that a
// PBKDF2, a PKCS#12 key generation or a PKCS#12 MAC ends within a fraction
// of a millisecond instead of running its iteration count out. OpenSSL 3 has
// no progress or cancel hook of its own for key derivation functions; this
// is the place it leaves open. scrypt's memory-hard loop iterates no digest
// and runs to its end (its work is capped: DerivationBudget.h).
// OpenSSL's legacy provider is loaded into this context as well (and into no
// other): the ciphers of PKCS#12 and PKCS#8 files made by older tools (RC2,
// RC4, single DES) are read here; everything this library writes uses the
// default context's modern ciphers.
#pragma once
#include <openssl/types.h>

namespace zkd {

// The context, made at first use; nullptr when it cannot be made (the
// derivations then run in the default context, without the give-up check).
OSSL_LIB_CTX* DerivationLibCtx();

// Frees the context at the library's end, when no operation runs (a later
// use makes it again).
void ReleaseDerivationLibCtx();

}  // namespace zkd
