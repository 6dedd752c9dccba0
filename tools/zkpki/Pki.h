// Building blocks of zkpki on OpenSSL 3: keys, names, certificates and
// password-protected key files. Failures throw PkiError (with the OpenSSL error
// queue appended); malformed input values throw UsageError (Args.h).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/OsslPtr.h"

namespace zkpki {

struct PkiError : std::runtime_error {
  explicit PkiError(const std::string& what);  // appends and clears OpenSSL's error queue
};

template <auto Free>
using Deleter = zk::OsslFree<Free>;
using KeyPtr = zk::PKeyPtr;
using CertPtr = zk::X509Ptr;

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- keys
enum class KeyType { Ec, Rsa, P384 };  // EC P-256, RSA 2048, EC P-384

KeyType parseKeyType(std::string_view text);  // "ec" | "rsa" | "p384", else UsageError
KeyPtr generateKey(KeyType type);
KeyPtr readPrivateKeyPem(const std::filesystem::path& file);  // unencrypted PEM only
CertPtr readCertificate(const std::filesystem::path& file);   // PEM or DER
bool keyMatchesCert(EVP_PKEY* key, X509* cert);

// ---------------------------------------------------------------- names
// One attribute of a distinguished name, written with exactly this string type
// (V_ASN1_UTF8STRING, V_ASN1_PRINTABLESTRING or V_ASN1_IA5STRING).
struct NameEntry {
  int nid;
  std::string value;  // UTF-8
  int asn1Type;
};

// ---------------------------------------------------------------- certificates
struct DirAttr {  // one subject directory attribute with a PrintableString value
  std::string oid;
  std::string value;
};

struct CertProfile {
  std::vector<NameEntry> subject;
  bool isCa = false;
  unsigned char keyUsage = 0;           // first byte of the KeyUsage bit string (0x80 = digitalSignature)
  std::vector<std::string> extKeyUsage; // dotted OIDs or OpenSSL short/long names
  bool extKeyUsageCritical = false;     // a timestamping service's certificate needs it
  std::vector<DirAttr> dirAttrs;        // subjectDirectoryAttributes; none = no extension
  bool qcCompliance = false;
  bool qcSscd = false;
  std::string sanEmail;  // rfc822Name in subjectAltName
  std::string ocspUrl;   // authorityInfoAccess, id-ad-ocsp
  std::string tspUrl;    // subjectInfoAccess, id-ad-timeStamping
  std::string notBefore; // YYYYMMDDHHMMSSZ
  std::string notAfter;  // YYYYMMDDHHMMSSZ
  std::string serialHex; // empty = 16 random bytes, positive
};

// Time text "YYYYMMDDHHMMSSZ": checked form, or now + offset.
std::string checkedTimeText(const std::string& text);  // UsageError when malformed
std::string timeTextFromNow(long long offsetSeconds);

// Issues a certificate for subjectKey. issuer == nullptr: self-signed with subjectKey.
// Signs with SHA-384 when the signing key is EC P-384, else SHA-256.
CertPtr issueCertificate(const CertProfile& profile, EVP_PKEY* subjectKey, X509* issuer,
                         EVP_PKEY* issuerKey);

// The subject key identifier as upper-case hex (SHA-1 of the public key when absent).
std::string subjectKeyIdHex(X509* cert);

// ---------------------------------------------------------------- key files
struct KeyEntry {
  EVP_PKEY* key;
  X509* cert;                // may be null
  std::string friendlyName;  // UTF-8
};

// PKCS#12: shrouded key bags (PBES2: PBKDF2-HMAC-SHA256, AES-256-CBC), certificates in
// a PBES2-encrypted safe, localKeyID = SHA-1 of the public key on key and certificate
// bags, friendlyName on every bag, HMAC-SHA256 integrity. An empty password is allowed.
Bytes makePkcs12(const std::vector<KeyEntry>& entries, const std::string& password);
// EncryptedPrivateKeyInfo (PBES2: PBKDF2-HMAC-SHA256, AES-256-CBC), DER or PEM.
Bytes makeEncryptedPkcs8(EVP_PKEY* key, const std::string& password, bool pem);

// ---------------------------------------------------------------- files
Bytes certDer(X509* cert);
Bytes certPem(X509* cert);
Bytes privateKeyPem(EVP_PKEY* key);  // unencrypted PKCS#8 PEM
// Writes through a temporary file and a rename; mode 0600 when secret.
void writeFile(const std::filesystem::path& file, const Bytes& data, bool secret);

}  // namespace zkpki
