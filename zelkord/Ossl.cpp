#include "zelkord/Ossl.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <climits>

namespace zkd {

X509Ptr ParseCertificate(const uint8_t* data, size_t len) {
    if (!data || len == 0 || len > INT_MAX) return nullptr;
    const unsigned char* p = data;
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
    if (cert) return cert;
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(len)));
    if (bio) cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    return cert;
}

std::string HexUpper(const uint8_t* data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
    }
    return out;
}

std::string CertKeyIdentifier(X509* cert) {
    if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert))
        return HexUpper(ASN1_STRING_get0_data(ski), static_cast<size_t>(ASN1_STRING_length(ski)));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_pubkey_digest(cert, EVP_sha1(), md, &mdLen) != 1) return {};
    return HexUpper(md, mdLen);
}

Bytes PublicKeyIdentifierBytes(EVP_PKEY* key) {
    X509_PUBKEY* pub = nullptr;
    if (X509_PUBKEY_set(&pub, key) != 1) return {};
    const unsigned char* bits = nullptr;
    int bitsLen = 0;
    Bytes id;
    if (X509_PUBKEY_get0_param(nullptr, &bits, &bitsLen, nullptr, pub) == 1) {
        id.resize(SHA_DIGEST_LENGTH);
        SHA1(bits, static_cast<size_t>(bitsLen), id.data());
    }
    X509_PUBKEY_free(pub);
    return id;
}

std::string PublicKeyIdentifier(EVP_PKEY* key) {
    Bytes id = PublicKeyIdentifierBytes(key);
    return id.empty() ? std::string() : HexUpper(id.data(), id.size());
}

}  // namespace zkd
