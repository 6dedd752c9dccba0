#include "http/LocalTls.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <mutex>
#include <string_view>

#include "base/Log.h"
#include "platform/Files.h"

namespace zk::http {
namespace {

// Validity of both certificates.
constexpr const char* kNotBefore = "20150910000000Z";
constexpr const char* kNotAfter = "21520802235959Z";
constexpr int kKeyBits = 4096;

std::mutex g_lock;  // the TLS material lock
X509* g_cert = nullptr;
EVP_PKEY* g_key = nullptr;

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value);
    if (!ext) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool SetName(X509_NAME* name, const char* unit) {
    if (unit && !X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(unit), -1, -1, 0))
        return false;
    return X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("ZelkorH"), -1, -1, 0) == 1;
}

// A certificate with a random serial, the fixed validity and the subject
// name; issuer and extensions are the caller's.
X509* NewCertificate(EVP_PKEY* publicKey, const char* unit) {
    X509* x = X509_new();
    unsigned char serial[16];
    bool ok = x && X509_set_version(x, 2) && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7f;  // a positive number
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
        BN_free(bn);
    }
    ok = ok && ASN1_TIME_set_string_X509(X509_getm_notBefore(x), kNotBefore) &&
         ASN1_TIME_set_string_X509(X509_getm_notAfter(x), kNotAfter) && X509_set_pubkey(x, publicKey) &&
         SetName(X509_get_subject_name(x), unit);
    if (!ok) {
        X509_free(x);
        return nullptr;
    }
    return x;
}

X509* MakeCa(EVP_PKEY* caKey) {
    X509* ca = NewCertificate(caKey, "CA");
    bool ok = ca && X509_set_issuer_name(ca, X509_get_subject_name(ca)) &&
              AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
              AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign") &&
              AddExtension(ca, ca, NID_subject_key_identifier, "hash") &&
              // Even a leaked CA could vouch for nothing but this machine.
              AddExtension(ca, ca, NID_name_constraints,
                           "critical,permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255") &&
              X509_sign(ca, caKey, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(ca);
        return nullptr;
    }
    return ca;
}

X509* MakeServer(EVP_PKEY* serverKey, X509* ca, EVP_PKEY* caKey) {
    X509* x = NewCertificate(serverKey, nullptr);
    bool ok = x && X509_set_issuer_name(x, X509_get_subject_name(ca)) &&
              AddExtension(x, ca, NID_basic_constraints, "critical,CA:FALSE") &&
              AddExtension(x, ca, NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
              AddExtension(x, ca, NID_ext_key_usage, "serverAuth") &&
              AddExtension(x, ca, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") &&
              AddExtension(x, ca, NID_subject_key_identifier, "hash") &&
              AddExtension(x, ca, NID_authority_key_identifier, "keyid:always") &&
              X509_sign(x, caKey, EVP_sha256()) > 0;
    if (!ok) {
        X509_free(x);
        return nullptr;
    }
    return x;
}

std::string ToPem(X509* cert, EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    bool ok = bio && (!cert || PEM_write_bio_X509(bio, cert)) &&
              // PKCS#1 "RSA PRIVATE KEY", as the server material has always been kept
              (!key || PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr));
    std::string pem;
    if (ok) {
        char* data = nullptr;
        long len = BIO_get_mem_data(bio, &data);
        pem.assign(data, static_cast<size_t>(len));
    }
    BIO_free(bio);
    return pem;
}

X509* ReadCertificate(std::string_view pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* x = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return x;
}

std::string FileText(const std::string& path) {
    auto data = files::ReadAll(path, 1 << 20);
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// The kept material when it holds together: the key fits the certificate and
// the certificate was issued by the kept CA.
bool LoadKept(const std::string& folder, X509*& cert, EVP_PKEY*& key) {
    std::string serverPem = FileText(folder + "/" + kServerFileName);
    std::string caPem = FileText(folder + "/" + kCaFileName);
    if (serverPem.empty() || caPem.empty()) return false;
    BIO* bio = BIO_new_mem_buf(serverPem.data(), static_cast<int>(serverPem.size()));
    cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    key = cert ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    OPENSSL_cleanse(serverPem.data(), serverPem.size());
    X509* ca = ReadCertificate(caPem);
    bool ok = cert && key && ca && X509_check_private_key(cert, key) == 1 &&
              X509_verify(cert, X509_get0_pubkey(ca)) == 1;
    X509_free(ca);
    if (!ok) {
        X509_free(cert);
        EVP_PKEY_free(key);
        cert = nullptr;
        key = nullptr;
    }
    return ok;
}

bool MakeAndKeep(const std::string& folder, X509*& cert, EVP_PKEY*& key) {
    LocalPki pki;
    if (!MakeLocalPki(kKeyBits, pki)) return false;
    std::string serverPem = ToPem(pki.server, pki.serverKey);
    std::string caPem = ToPem(pki.ca, nullptr);
    bool ok = !serverPem.empty() && !caPem.empty() &&
              files::WriteAtomically(folder + "/" + kServerFileName, serverPem.data(), serverPem.size(), 0600) &&
              files::WriteAtomically(folder + "/" + kCaFileName, caPem.data(), caPem.size(), 0644);
    OPENSSL_cleanse(serverPem.data(), serverPem.size());
    if (ok) {
        cert = pki.server;
        key = pki.serverKey;
        pki.server = nullptr;
        pki.serverKey = nullptr;
    }
    FreeLocalPki(pki);
    return ok;
}

}  // namespace

bool MakeLocalPki(int keyBits, LocalPki& out) {
    EVP_PKEY* caKey = EVP_RSA_gen(static_cast<unsigned>(keyBits));
    out.serverKey = caKey ? EVP_RSA_gen(static_cast<unsigned>(keyBits)) : nullptr;
    out.ca = out.serverKey ? MakeCa(caKey) : nullptr;
    out.server = out.ca ? MakeServer(out.serverKey, out.ca, caKey) : nullptr;
    EVP_PKEY_free(caKey);  // the CA key never outlives this call (RSA_free clears it)
    if (!out.server) {
        FreeLocalPki(out);
        return false;
    }
    return true;
}

void FreeLocalPki(LocalPki& pki) {
    X509_free(pki.ca);
    X509_free(pki.server);
    EVP_PKEY_free(pki.serverKey);
    pki = LocalPki{};
}

bool PrepareLocalTls(const std::string& folder) {
    std::lock_guard lock(g_lock);
    if (g_cert) return true;  // loaded once per process
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    if (!LoadKept(folder, cert, key)) {
        ZLOG("PrepareLocalTls", "Making the local CA and the server certificate");
        if (!MakeAndKeep(folder, cert, key)) return false;
    }
    g_cert = cert;
    g_key = key;
    return true;
}

SSL_CTX* NewServerContext() {
    std::lock_guard lock(g_lock);
    if (!g_cert) return nullptr;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return nullptr;
    if (SSL_CTX_use_certificate(ctx, g_cert) != 1 || SSL_CTX_use_PrivateKey(ctx, g_key) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // no client certificate is asked for
    return ctx;
}

void ReleaseLocalTls() {
    std::lock_guard lock(g_lock);
    X509_free(g_cert);
    EVP_PKEY_free(g_key);
    g_cert = nullptr;
    g_key = nullptr;
}

}  // namespace zk::http
