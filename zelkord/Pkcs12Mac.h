// The integrity check of a PKCS#12 file (its MacData: an HMAC over the
// authenticated safe under a key made from the password by the PKCS#12 key
// generation), computed in the derivation context (DerivationContext.h) so
// that a request given up stops it. OpenSSL's PKCS12_verify_mac computes the
// same in the default context, where nothing can stop it, and takes no other.
#pragma once
#include <openssl/pkcs12.h>

#include <cstddef>
#include <cstdint>

namespace zkd {

// Whether the MAC of p12 (parsed from the bytes data, len) matches under the
// UTF-8 password (nullptr with length 0: no password at all, which is not
// the empty one). False when the file carries no MAC or when it cannot be
// computed (a digest OpenSSL does not offer, an authenticated safe that is
// not plain data).
bool Pkcs12MacMatches(const uint8_t* data, size_t len, const PKCS12* p12, const char* pass, int passLen);

}  // namespace zkd
