// OpenSSL objects owned by unique_ptr, and the small conversions every
// operation of the provider needs (certificate bytes, hex texts).
#pragma once
#include <openssl/bio.h>
#include <openssl/pem.h>  // before cms.h, which declares its PEM readers only then
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/OsslPtr.h"

namespace zkd {

using zk::OsslFree;
using zk::PKeyPtr;
using zk::X509Ptr;
using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free>>;
using P12Ptr = std::unique_ptr<PKCS12, OsslFree<PKCS12_free>>;
using P8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, OsslFree<PKCS8_PRIV_KEY_INFO_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, OsslFree<X509_SIG_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslFree<CMS_ContentInfo_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslFree<EVP_MD_CTX_free>>;
using TimePtr = std::unique_ptr<ASN1_TIME, OsslFree<ASN1_TIME_free>>;

using Bytes = std::vector<uint8_t>;

struct CertStackFree {
    void operator()(STACK_OF(X509)* s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// Where a buffer sink writes: cap bytes at out, of which written are used. The
// target may be moved between writes; it must outlive the sink.
struct SinkTarget {
    uint8_t* out = nullptr;
    size_t cap = 0;
    size_t written = 0;
    bool overflow = false;  // a write did not fit
};
// A BIO that writes into the caller's buffer (a write beyond it fails), for
// outputs that go straight into the caller's memory instead of through a
// growing memory BIO.
BioPtr NewBufferSink(SinkTarget* target);

// A read-only BIO over the caller's bytes (which must outlive it). Unlike a
// memory BIO it has no size limit of int, and CMS_verify takes it as it is
// (a memory BIO it wraps in one of its own, which OpenSSL 3.0 loses when the
// signature names a digest it does not know).
BioPtr NewBufferSource(const uint8_t* data, size_t len);

// A certificate from DER or PEM bytes; nullptr when they hold none.
X509Ptr ParseCertificate(const uint8_t* data, size_t len);

// Upper-case hex without separators.
std::string HexUpper(const uint8_t* data, size_t len);

// The identifier that pairs a certificate with its key: the subject key
// identifier extension, else the SHA-1 of the public key bits; upper-case hex.
std::string CertKeyIdentifier(X509* cert);
// The same identifier computed from a key alone (SHA-1 of the public key bits).
std::string PublicKeyIdentifier(EVP_PKEY* key);
Bytes PublicKeyIdentifierBytes(EVP_PKEY* key);

}  // namespace zkd
