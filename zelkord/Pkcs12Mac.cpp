#include "zelkord/Pkcs12Mac.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include <climits>
#include <memory>

#include "platform/OsslPtr.h"
#include "platform/SecureWipe.h"
#include "zelkord/DerivationContext.h"

namespace zkd {
namespace {

using Pkcs7Ptr = std::unique_ptr<PKCS7, zk::OsslFree<PKCS7_free>>;
using MdPtr = std::unique_ptr<EVP_MD, zk::OsslFree<EVP_MD_free>>;

// The authenticated safe of the PFX in the bytes (SEQUENCE { version,
// authSafe ContentInfo, macData }): the bytes the MAC covers are its content.
Pkcs7Ptr AuthSafe(const uint8_t* data, size_t len) {
    if (len > LONG_MAX) return nullptr;
    const unsigned char* p = data;
    const unsigned char* end = data + len;
    long n = 0;
    int tag = 0, cls = 0;
    int r = ASN1_get_object(&p, &n, &tag, &cls, static_cast<long>(len));
    if ((r & 0x80) || tag != V_ASN1_SEQUENCE || !(r & V_ASN1_CONSTRUCTED)) return nullptr;
    r = ASN1_get_object(&p, &n, &tag, &cls, end - p);  // the version
    if ((r & 0x80) || tag != V_ASN1_INTEGER || (r & V_ASN1_CONSTRUCTED)) return nullptr;
    p += n;
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, end - p));
    if (!p7 || !PKCS7_type_is_data(p7.get()) || !p7->d.data) return nullptr;
    return p7;
}

}  // namespace

bool Pkcs12MacMatches(const uint8_t* data, size_t len, const PKCS12* p12, const char* pass, int passLen) {
    const ASN1_OCTET_STRING* mac = nullptr;
    const X509_ALGOR* macAlg = nullptr;
    const ASN1_OCTET_STRING* salt = nullptr;
    const ASN1_INTEGER* iter = nullptr;
    PKCS12_get0_mac(&mac, &macAlg, &salt, &iter, p12);
    Pkcs7Ptr safe = AuthSafe(data, len);
    if (!mac || !macAlg || !salt || !safe) return false;

    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, macAlg);
    char name[80];
    if (!oid || OBJ_obj2txt(name, sizeof name, oid, 0) <= 0) return false;
    OSSL_LIB_CTX* ctx = DerivationLibCtx();
    MdPtr md(EVP_MD_fetch(ctx, name, nullptr));
    const int keyLen = md ? EVP_MD_get_size(md.get()) : 0;
    if (keyLen <= 0 || keyLen > EVP_MAX_MD_SIZE) return false;
    // The count is within the derivation budget, checked before this runs.
    const long count = iter ? ASN1_INTEGER_get(iter) : 1;
    if (count < 0 || count > INT_MAX) return false;

    unsigned char key[EVP_MAX_MD_SIZE];
    unsigned char computed[EVP_MAX_MD_SIZE];
    size_t computedLen = 0;
    const ASN1_OCTET_STRING* content = safe->d.data;
    const bool made =
        PKCS12_key_gen_utf8_ex(pass, passLen, const_cast<unsigned char*>(ASN1_STRING_get0_data(salt)),
                               ASN1_STRING_length(salt), PKCS12_MAC_ID, static_cast<int>(count), keyLen, key, md.get(),
                               ctx, nullptr) == 1 &&
        EVP_Q_mac(ctx, "HMAC", nullptr, EVP_MD_get0_name(md.get()), nullptr, key, static_cast<size_t>(keyLen),
                  ASN1_STRING_get0_data(content), static_cast<size_t>(ASN1_STRING_length(content)), computed,
                  sizeof computed, &computedLen) != nullptr;
    zk::SecureWipe(key, sizeof key);
    return made && computedLen == static_cast<size_t>(ASN1_STRING_length(mac)) &&
           CRYPTO_memcmp(computed, ASN1_STRING_get0_data(mac), computedLen) == 0;
}

}  // namespace zkd
