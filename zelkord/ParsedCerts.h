// Recently parsed certificates, shared. Parsing a certificate under OpenSSL 3
// builds a decoder for its public key, which costs more than the signature
// the certificate is parsed for: a signer sending the same certificate with
// every request would spend half of each request here. The cache keeps the
// last few certificates by their exact input bytes; a hit hands out another
// reference to the same object, whose extension data was computed when it was
// cached, so that threads only ever read it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zelkord/Ossl.h"

namespace zkd {

// Certificates kept at once, and the largest input that is kept.
constexpr size_t kParsedCertsKept = 64;
constexpr size_t kParsedCertMaxBytes = 16 << 10;

// The cached certificate parsed from exactly these bytes, or nullptr.
X509Ptr FindParsedCert(const uint8_t* data, size_t len);
// Keeps cert as the parse of these bytes (the oldest entry goes when full).
void KeepParsedCert(const uint8_t* data, size_t len, X509* cert);
// Forgets every entry (the library's end).
void ForgetParsedCerts();

}  // namespace zkd
