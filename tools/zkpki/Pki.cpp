#include "Pki.h"

#include "Args.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace zkpki {

namespace {

constexpr int kPbeIterations = 2048;

const char* const kOidQcCompliance = "0.4.0.1862.1.1";
const char* const kOidQcSscd = "0.4.0.1862.1.4";
const char* const kOidQcStatements = "1.3.6.1.5.5.7.1.3";

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using ObjPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using OctetsPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;
using BitsPtr = std::unique_ptr<ASN1_BIT_STRING, Deleter<ASN1_BIT_STRING_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using AttrPtr = std::unique_ptr<X509_ATTRIBUTE, Deleter<X509_ATTRIBUTE_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using BasicPtr = std::unique_ptr<BASIC_CONSTRAINTS, Deleter<BASIC_CONSTRAINTS_free>>;
using AkidPtr = std::unique_ptr<AUTHORITY_KEYID, Deleter<AUTHORITY_KEYID_free>>;
using GenNamePtr = std::unique_ptr<GENERAL_NAME, Deleter<GENERAL_NAME_free>>;
using GenNamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;
using InfoAccessPtr = std::unique_ptr<AUTHORITY_INFO_ACCESS, Deleter<AUTHORITY_INFO_ACCESS_free>>;
using P8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Deleter<PKCS8_PRIV_KEY_INFO_free>>;
using P8Ptr = std::unique_ptr<X509_SIG, Deleter<X509_SIG_free>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using PubKeyPtr = std::unique_ptr<X509_PUBKEY, Deleter<X509_PUBKEY_free>>;

void freeEkuStack(EXTENDED_KEY_USAGE* s) { sk_ASN1_OBJECT_pop_free(s, ASN1_OBJECT_free); }
void freeBagStack(STACK_OF(PKCS12_SAFEBAG)* s) { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
void freeP7Stack(STACK_OF(PKCS7)* s) { sk_PKCS7_pop_free(s, PKCS7_free); }
using EkuPtr = std::unique_ptr<EXTENDED_KEY_USAGE, Deleter<freeEkuStack>>;
using BagsPtr = std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), Deleter<freeBagStack>>;
using SafesPtr = std::unique_ptr<STACK_OF(PKCS7), Deleter<freeP7Stack>>;

template <class T>
T* must(T* p, const char* what) {
  if (!p) throw PkiError(what);
  return p;
}
void must(int ok, const char* what) {
  if (ok <= 0) throw PkiError(what);
}

// ---------------------------------------------------------------- DER
void appendLength(Bytes& out, size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
    return;
  }
  unsigned char buf[sizeof(size_t)];
  int len = 0;
  for (; n; n >>= 8) buf[len++] = static_cast<unsigned char>(n & 0xFF);
  out.push_back(static_cast<unsigned char>(0x80 | len));
  while (len) out.push_back(buf[--len]);
}

Bytes derSequence(const Bytes& content) {
  Bytes out{0x30};
  appendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

template <class T, class I2D>
Bytes toDer(const T* v, I2D i2d, const char* what) {
  unsigned char* p = nullptr;
  int n = i2d(v, &p);
  if (n <= 0) throw PkiError(what);
  Bytes out(p, p + n);
  OPENSSL_free(p);
  return out;
}

Bytes bioBytes(BIO* bio) {
  char* p = nullptr;
  long n = BIO_get_mem_data(bio, &p);
  return Bytes(p, p + n);
}

ObjPtr oidObject(const std::string& text, bool dottedOnly) {
  ASN1_OBJECT* o = OBJ_txt2obj(text.c_str(), dottedOnly ? 1 : 0);
  if (!o) {
    ERR_clear_error();
    throw UsageError("not an object identifier: '" + text + "'");
  }
  return ObjPtr(o);
}

// ---------------------------------------------------------------- texts
bool isPrintableString(const std::string& s) {
  for (unsigned char c : s) {
    if (std::isalnum(c) && c < 0x80) continue;
    if (!std::strchr(" '()+,-./:=?", c) || c == 0) return false;
  }
  return true;
}

bool isIa5String(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

bool isUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (size_t i = 0; i < s.size();) {
    unsigned long ch = 0;
    int n = UTF8_getc(p + i, static_cast<int>(s.size() - i), &ch);
    if (n <= 0 || ch == 0) return false;
    i += static_cast<size_t>(n);
  }
  return true;
}

void checkText(const std::string& value, int asn1Type, const std::string& what) {
  if (value.empty()) throw UsageError(what + ": empty value");
  bool ok = asn1Type == V_ASN1_PRINTABLESTRING ? isPrintableString(value)
            : asn1Type == V_ASN1_IA5STRING     ? isIa5String(value)
                                               : isUtf8(value);
  if (!ok) {
    const char* type = asn1Type == V_ASN1_PRINTABLESTRING ? "PrintableString"
                       : asn1Type == V_ASN1_IA5STRING     ? "IA5String"
                                                          : "UTF-8";
    throw UsageError(what + ": '" + value + "' is not valid " + type);
  }
}

// ---------------------------------------------------------------- extensions
void addExt(X509* x, int nid, void* value, bool critical, const char* what) {
  must(X509_add1_ext_i2d(x, nid, value, critical ? 1 : 0, X509V3_ADD_REPLACE), what);
}

void addRawExt(X509* x, const char* oid, const Bytes& der, bool critical, const char* what) {
  ObjPtr obj = oidObject(oid, true);
  OctetsPtr os(must(ASN1_OCTET_STRING_new(), what));
  must(ASN1_OCTET_STRING_set(os.get(), der.data(), static_cast<int>(der.size())), what);
  ExtPtr ext(must(X509_EXTENSION_create_by_OBJ(nullptr, obj.get(), critical ? 1 : 0, os.get()), what));
  must(X509_add_ext(x, ext.get(), -1), what);
}

GENERAL_NAME* ia5GeneralName(int type, const std::string& text) {
  ASN1_IA5STRING* s = must(ASN1_IA5STRING_new(), "general name");
  if (!ASN1_STRING_set(s, text.data(), static_cast<int>(text.size()))) {
    ASN1_IA5STRING_free(s);
    throw PkiError("general name");
  }
  GENERAL_NAME* gn = GENERAL_NAME_new();
  if (!gn) {
    ASN1_IA5STRING_free(s);
    throw PkiError("general name");
  }
  GENERAL_NAME_set0_value(gn, type, s);
  return gn;
}

void addInfoAccess(X509* x, int extNid, int methodNid, const std::string& url) {
  checkText(url, V_ASN1_IA5STRING, "access URL");
  InfoAccessPtr aia(must(AUTHORITY_INFO_ACCESS_new(), "information access"));
  ACCESS_DESCRIPTION* ad = must(ACCESS_DESCRIPTION_new(), "information access");
  if (!sk_ACCESS_DESCRIPTION_push(aia.get(), ad)) {
    ACCESS_DESCRIPTION_free(ad);
    throw PkiError("information access");
  }
  ASN1_OBJECT_free(ad->method);
  ad->method = OBJ_nid2obj(methodNid);
  GENERAL_NAME_free(ad->location);
  ad->location = ia5GeneralName(GEN_URI, url);
  addExt(x, extNid, aia.get(), false, "information access extension");
}

Bytes dirAttributesDer(const std::vector<DirAttr>& attrs) {
  Bytes content;
  for (const DirAttr& a : attrs) {
    checkText(a.value, V_ASN1_PRINTABLESTRING, "directory attribute " + a.oid);
    ObjPtr obj = oidObject(a.oid, true);
    AttrPtr attr(must(X509_ATTRIBUTE_create_by_OBJ(nullptr, obj.get(), V_ASN1_PRINTABLESTRING,
                                                   reinterpret_cast<const unsigned char*>(a.value.data()),
                                                   static_cast<int>(a.value.size())),
                      "directory attribute"));
    Bytes der = toDer(attr.get(), i2d_X509_ATTRIBUTE, "directory attribute");
    content.insert(content.end(), der.begin(), der.end());
  }
  return derSequence(content);
}

Bytes qcStatementsDer(bool compliance, bool sscd) {
  Bytes content;
  for (const char* oid : {compliance ? kOidQcCompliance : nullptr, sscd ? kOidQcSscd : nullptr}) {
    if (!oid) continue;
    ObjPtr obj = oidObject(oid, true);
    Bytes statement = derSequence(toDer(obj.get(), i2d_ASN1_OBJECT, "QC statement"));
    content.insert(content.end(), statement.begin(), statement.end());
  }
  return derSequence(content);
}

// SHA-1 over the subjectPublicKey bits: the key identifier of RFC 5280 method 1.
Bytes publicKeyId(EVP_PKEY* key) {
  X509_PUBKEY* raw = nullptr;
  must(X509_PUBKEY_set(&raw, key), "public key");
  PubKeyPtr pub(raw);
  const unsigned char* bits = nullptr;
  int len = 0;
  must(X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, pub.get()), "public key");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  must(EVP_Digest(bits, static_cast<size_t>(len), md, &mdLen, EVP_sha1(), nullptr), "SHA-1");
  return Bytes(md, md + mdLen);
}

Bytes keyIdOf(X509* cert) {
  if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert))
    return Bytes(ASN1_STRING_get0_data(ski), ASN1_STRING_get0_data(ski) + ASN1_STRING_length(ski));
  return publicKeyId(X509_get0_pubkey(cert));
}

std::string upperHex(const Bytes& b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 0xF];
  }
  return s;
}

BnPtr serialNumber(const std::string& hex) {
  BIGNUM* raw = nullptr;
  if (hex.empty()) {
    unsigned char b[16];
    must(RAND_bytes(b, sizeof b), "random serial");
    b[0] = static_cast<unsigned char>((b[0] & 0x7F) | 0x40);  // positive, always 16 bytes
    return BnPtr(must(BN_bin2bn(b, sizeof b, nullptr), "serial"));
  }
  std::string digits = hex;
  if (digits.size() > 2 && (digits.compare(0, 2, "0x") == 0 || digits.compare(0, 2, "0X") == 0))
    digits.erase(0, 2);
  for (unsigned char c : digits)
    if (!std::isxdigit(c)) throw UsageError("--serial-hex: '" + hex + "' is not hexadecimal");
  if (digits.empty() || !BN_hex2bn(&raw, digits.c_str())) throw UsageError("--serial-hex: bad value");
  BnPtr bn(raw);
  if (BN_is_zero(bn.get())) throw UsageError("--serial-hex: a serial number must be positive");
  if (BN_num_bytes(bn.get()) > 20) throw UsageError("--serial-hex: at most 20 bytes");
  return bn;
}

const EVP_MD* signatureDigest(EVP_PKEY* signer) {
  if (EVP_PKEY_is_a(signer, "EC") && EVP_PKEY_get_bits(signer) == 384) return EVP_sha384();
  return EVP_sha256();
}

}  // namespace

// ---------------------------------------------------------------- errors
PkiError::PkiError(const std::string& what)
    : std::runtime_error([&] {
        std::string msg = what;
        unsigned long e;
        while ((e = ERR_get_error()) != 0) {
          char buf[256];
          ERR_error_string_n(e, buf, sizeof buf);
          msg += "\n  ";
          msg += buf;
        }
        return msg;
      }()) {}

// ---------------------------------------------------------------- keys
KeyType parseKeyType(std::string_view text) {
  if (text == "ec") return KeyType::Ec;
  if (text == "rsa") return KeyType::Rsa;
  if (text == "p384") return KeyType::P384;
  throw UsageError("--key: expected ec, rsa or p384, not '" + std::string(text) + "'");
}

KeyPtr generateKey(KeyType type) {
  EVP_PKEY* k = nullptr;
  switch (type) {
    case KeyType::Ec: k = EVP_EC_gen("P-256"); break;
    case KeyType::P384: k = EVP_EC_gen("P-384"); break;
    case KeyType::Rsa: k = EVP_RSA_gen(2048); break;
  }
  return KeyPtr(must(k, "key generation failed"));
}

KeyPtr readPrivateKeyPem(const std::filesystem::path& file) {
  BioPtr bio(BIO_new_file(file.c_str(), "rb"));
  if (!bio) throw PkiError("cannot open " + file.string());
  // No passphrase callback answer: an encrypted PEM is refused instead of prompting.
  auto noPassword = [](char*, int, int, void*) -> int { return -1; };
  EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr);
  if (!k) throw PkiError("no unencrypted PEM private key in " + file.string());
  return KeyPtr(k);
}

CertPtr readCertificate(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw PkiError("cannot open " + file.string());
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  X509* x = nullptr;
  if (data.find("-----BEGIN") != std::string::npos) {
    BioPtr bio(must(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())), "memory"));
    x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  } else {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    x = d2i_X509(nullptr, &p, static_cast<long>(data.size()));
  }
  if (!x) throw PkiError("no certificate in " + file.string());
  return CertPtr(x);
}

bool keyMatchesCert(EVP_PKEY* key, X509* cert) {
  bool ok = X509_check_private_key(cert, key) == 1;
  ERR_clear_error();
  return ok;
}

// ---------------------------------------------------------------- time
std::string checkedTimeText(const std::string& text) {
  bool shape = text.size() == 15 && text[14] == 'Z';
  for (size_t i = 0; shape && i < 14; ++i) shape = std::isdigit(static_cast<unsigned char>(text[i]));
  ASN1_TIME* t = shape ? ASN1_TIME_new() : nullptr;
  bool ok = t && ASN1_TIME_set_string_X509(t, text.c_str()) == 1;
  ASN1_TIME_free(t);
  ERR_clear_error();
  if (!ok) throw UsageError("time '" + text + "' is not of the form YYYYMMDDHHMMSSZ");
  return text;
}

std::string timeTextFromNow(long long offsetSeconds) {
  std::time_t t = std::time(nullptr) + static_cast<std::time_t>(offsetSeconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", &tm);
  return buf;
}

// ---------------------------------------------------------------- certificates
CertPtr issueCertificate(const CertProfile& p, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey) {
  EVP_PKEY* signer = issuer ? issuerKey : subjectKey;
  if (issuer && !keyMatchesCert(issuerKey, issuer))
    throw PkiError("the CA key does not belong to the CA certificate");
  if (p.notBefore >= p.notAfter) throw UsageError("notBefore must be earlier than notAfter");

  CertPtr x(must(X509_new(), "certificate"));
  must(X509_set_version(x.get(), X509_VERSION_3), "version");

  BnPtr serial = serialNumber(p.serialHex);
  must(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x.get())), "serial");

  NamePtr subject(must(X509_NAME_new(), "name"));
  for (const NameEntry& e : p.subject) {
    checkText(e.value, e.asn1Type, OBJ_nid2sn(e.nid));
    must(X509_NAME_add_entry_by_NID(subject.get(), e.nid, e.asn1Type,
                                    reinterpret_cast<const unsigned char*>(e.value.data()),
                                    static_cast<int>(e.value.size()), -1, 0),
         "subject name");
  }
  must(X509_set_subject_name(x.get(), subject.get()), "subject name");
  must(X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer) : subject.get()), "issuer name");

  must(ASN1_TIME_set_string_X509(X509_getm_notBefore(x.get()), checkedTimeText(p.notBefore).c_str()), "notBefore");
  must(ASN1_TIME_set_string_X509(X509_getm_notAfter(x.get()), checkedTimeText(p.notAfter).c_str()), "notAfter");
  must(X509_set_pubkey(x.get(), subjectKey), "public key");

  if (p.isCa) {
    BasicPtr bc(must(BASIC_CONSTRAINTS_new(), "basic constraints"));
    bc->ca = 0xFF;
    addExt(x.get(), NID_basic_constraints, bc.get(), true, "basic constraints");
  }

  if (p.keyUsage) {
    BitsPtr ku(must(ASN1_BIT_STRING_new(), "key usage"));
    for (int bit = 0; bit < 8; ++bit)
      if (p.keyUsage & (0x80 >> bit)) must(ASN1_BIT_STRING_set_bit(ku.get(), bit, 1), "key usage");
    addExt(x.get(), NID_key_usage, ku.get(), true, "key usage");
  }

  if (!p.extKeyUsage.empty()) {
    EkuPtr eku(must(sk_ASN1_OBJECT_new_null(), "extended key usage"));
    for (const std::string& name : p.extKeyUsage) {
      ObjPtr obj = oidObject(name, false);
      must(sk_ASN1_OBJECT_push(eku.get(), obj.get()), "extended key usage");
      obj.release();
    }
    addExt(x.get(), NID_ext_key_usage, eku.get(), p.extKeyUsageCritical, "extended key usage");
  }

  Bytes ownId = publicKeyId(subjectKey);
  OctetsPtr ski(must(ASN1_OCTET_STRING_new(), "key identifier"));
  must(ASN1_OCTET_STRING_set(ski.get(), ownId.data(), static_cast<int>(ownId.size())), "key identifier");
  addExt(x.get(), NID_subject_key_identifier, ski.get(), false, "subject key identifier");

  Bytes authorityId = issuer ? keyIdOf(issuer) : ownId;
  AkidPtr akid(must(AUTHORITY_KEYID_new(), "authority key identifier"));
  akid->keyid = must(ASN1_OCTET_STRING_new(), "authority key identifier");
  must(ASN1_OCTET_STRING_set(akid->keyid, authorityId.data(), static_cast<int>(authorityId.size())),
       "authority key identifier");
  addExt(x.get(), NID_authority_key_identifier, akid.get(), false, "authority key identifier");

  if (!p.sanEmail.empty()) {
    checkText(p.sanEmail, V_ASN1_IA5STRING, "e-mail");
    GenNamesPtr san(must(GENERAL_NAMES_new(), "subject alternative name"));
    GenNamePtr gn(ia5GeneralName(GEN_EMAIL, p.sanEmail));
    must(sk_GENERAL_NAME_push(san.get(), gn.get()), "subject alternative name");
    gn.release();
    addExt(x.get(), NID_subject_alt_name, san.get(), false, "subject alternative name");
  }

  if (!p.ocspUrl.empty()) addInfoAccess(x.get(), NID_info_access, NID_ad_OCSP, p.ocspUrl);
  if (!p.tspUrl.empty()) addInfoAccess(x.get(), NID_sinfo_access, NID_ad_timeStamping, p.tspUrl);

  if (!p.dirAttrs.empty()) {
    addRawExt(x.get(), "2.5.29.9", dirAttributesDer(p.dirAttrs), false, "subject directory attributes");
  }
  if (p.qcCompliance || p.qcSscd)
    addRawExt(x.get(), kOidQcStatements, qcStatementsDer(p.qcCompliance, p.qcSscd), false, "QC statements");

  if (X509_sign(x.get(), signer, signatureDigest(signer)) <= 0) throw PkiError("signing failed");
  return x;
}

std::string subjectKeyIdHex(X509* cert) { return upperHex(keyIdOf(cert)); }

// ---------------------------------------------------------------- key files
namespace {

P8Ptr encryptPkcs8(EVP_PKEY* key, const std::string& password) {
  P8InfoPtr info(must(EVP_PKEY2PKCS8(key), "PKCS#8"));
  X509_ALGOR* pbe = must(PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), kPbeIterations, nullptr, 0, nullptr,
                                           NID_hmacWithSHA256),
                         "PBES2 parameters");
  X509_SIG* sig = PKCS8_set0_pbe(password.data(), static_cast<int>(password.size()), info.get(), pbe);
  if (!sig) {
    X509_ALGOR_free(pbe);
    throw PkiError("PKCS#8 encryption failed");
  }
  return P8Ptr(sig);
}

void tagBag(PKCS12_SAFEBAG* bag, Bytes& id, const std::string& friendlyName) {
  must(PKCS12_add_localkeyid(bag, id.data(), static_cast<int>(id.size())), "localKeyID");
  must(PKCS12_add_friendlyname_utf8(bag, friendlyName.c_str(), static_cast<int>(friendlyName.size())),
       "friendlyName");
}

}  // namespace

Bytes makePkcs12(const std::vector<KeyEntry>& entries, const std::string& password) {
  const int passLen = static_cast<int>(password.size());
  BagsPtr certBags(must(sk_PKCS12_SAFEBAG_new_null(), "PKCS#12"));
  BagsPtr keyBags(must(sk_PKCS12_SAFEBAG_new_null(), "PKCS#12"));
  for (const KeyEntry& e : entries) {
    if (e.cert && !keyMatchesCert(e.key, e.cert))
      throw PkiError("key '" + e.friendlyName + "' does not belong to its certificate");
    if (!isUtf8(e.friendlyName)) throw UsageError("friendly name is not valid UTF-8");
    Bytes id = publicKeyId(e.key);
    if (e.cert) {
      PKCS12_SAFEBAG* bag = must(PKCS12_SAFEBAG_create_cert(e.cert), "certificate bag");
      if (!sk_PKCS12_SAFEBAG_push(certBags.get(), bag)) {
        PKCS12_SAFEBAG_free(bag);
        throw PkiError("certificate bag");
      }
      tagBag(bag, id, e.friendlyName);
    }
    P8Ptr p8 = encryptPkcs8(e.key, password);
    PKCS12_SAFEBAG* bag = must(PKCS12_SAFEBAG_create0_pkcs8(p8.get()), "key bag");
    p8.release();
    if (!sk_PKCS12_SAFEBAG_push(keyBags.get(), bag)) {
      PKCS12_SAFEBAG_free(bag);
      throw PkiError("key bag");
    }
    tagBag(bag, id, e.friendlyName);
  }

  SafesPtr safes(must(sk_PKCS7_new_null(), "PKCS#12"));
  auto pushSafe = [&](PKCS7* p7) {
    must(p7, "PKCS#12 safe");
    if (!sk_PKCS7_push(safes.get(), p7)) {
      PKCS7_free(p7);
      throw PkiError("PKCS#12 safe");
    }
  };
  if (sk_PKCS12_SAFEBAG_num(certBags.get()) > 0)
    pushSafe(PKCS12_pack_p7encdata(NID_aes_256_cbc, password.data(), passLen, nullptr, 0, kPbeIterations,
                                   certBags.get()));
  pushSafe(PKCS12_pack_p7data(keyBags.get()));

  P12Ptr p12(must(PKCS12_add_safes(safes.get(), 0), "PKCS#12"));
  must(PKCS12_set_mac(p12.get(), password.data(), passLen, nullptr, 0, kPbeIterations, EVP_sha256()),
       "PKCS#12 MAC");
  return toDer(p12.get(), i2d_PKCS12, "PKCS#12 encoding");
}

Bytes makeEncryptedPkcs8(EVP_PKEY* key, const std::string& password, bool pem) {
  P8Ptr p8 = encryptPkcs8(key, password);
  if (!pem) return toDer(p8.get(), i2d_X509_SIG, "PKCS#8 encoding");
  BioPtr bio(must(BIO_new(BIO_s_mem()), "memory"));
  must(PEM_write_bio_PKCS8(bio.get(), p8.get()), "PKCS#8 PEM");
  return bioBytes(bio.get());
}

// ---------------------------------------------------------------- files
Bytes certDer(X509* cert) { return toDer(cert, i2d_X509, "certificate encoding"); }

Bytes certPem(X509* cert) {
  BioPtr bio(must(BIO_new(BIO_s_mem()), "memory"));
  must(PEM_write_bio_X509(bio.get(), cert), "certificate PEM");
  return bioBytes(bio.get());
}

Bytes privateKeyPem(EVP_PKEY* key) {
  BioPtr bio(must(BIO_new(BIO_s_mem()), "memory"));
  must(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr), "key PEM");
  return bioBytes(bio.get());
}

void writeFile(const std::filesystem::path& file, const Bytes& data, bool secret) {
  std::filesystem::path tmp = file;
  tmp += ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, secret ? 0600 : 0644);
  if (fd < 0) throw std::runtime_error("cannot create " + tmp.string() + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw std::runtime_error("cannot write " + tmp.string() + ": " + std::strerror(err));
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(tmp.c_str(), file.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(err));
  }
}

}  // namespace zkpki
