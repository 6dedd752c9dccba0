// Certificates at hand beyond those an operation is given: the certification
// centres (CACert) of the crypto library profiles, then what the host can see
// (its certificate list and storage, the certificates of the request it
// serves), handed over by ZKLSVC_SetCertSource. An operation looks here for a
// certificate that something names but does not carry (an OCSP request's
// issuer, a responder, a timestamp service) and checks what it finds exactly
// as it would check a carried one: finding a certificate is never trusting it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "provider/ZelkorD.h"
#include "zelkord/Ossl.h"

namespace zkd {

enum class CertKey {
    KeyId = ZK_CERT_BY_KEY_ID,   // a subject key identifier, or the SHA-1 of the public key
    Serial = ZK_CERT_BY_SERIAL,  // a serial number
};

// Bounds of one search: certificates found, candidates the host hands over,
// bytes of one candidate, certificates read from one candidate.
constexpr size_t kMaxCertsFound = 16;
constexpr size_t kMaxCandidates = 1024;
constexpr size_t kMaxCandidateBytes = 1 << 20;
constexpr size_t kMaxCertsPerCandidate = 64;

void SetCertSource(ZKCertSource source);

// The certificates at hand that key names with hex (upper-case hexadecimal;
// a serial number's leading zeros aside), the centres first.
std::vector<X509Ptr> FindCertsAtHand(CertKey key, const std::string& hex);

// Every certificate in bytes (at most limit): DER or PEM, one or several, or
// a PKCS#7 bundle in DER or PEM.
std::vector<X509Ptr> CertificatesIn(const uint8_t* data, size_t len, size_t limit);

}  // namespace zkd
