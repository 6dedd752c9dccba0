// TLS material of the secure port: a local CA made for this installation and
// the one server certificate it issued (CN ZelkorH, SAN localhost and
// 127.0.0.1). Both are made at first start; the CA key signs the server
// certificate and is then destroyed, so nothing else can ever be issued under
// the CA that browsers are told to trust. Files in the program folder:
// "ca.pem" (the CA certificate, for the trust stores) and "server.pem" (the
// server certificate followed by its RSA key, mode 0600).
#pragma once
#include <string>

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace zk::http {

constexpr const char* kCaFileName = "ca.pem";
constexpr const char* kServerFileName = "server.pem";

// Loads the material from folder, making it first when it is missing or does
// not hold together. false when it can be neither loaded nor made.
bool PrepareLocalTls(const std::string& folder);

// A server context with the loaded certificate and key (library defaults for
// protocol versions and ciphers), or nullptr before PrepareLocalTls succeeded.
SSL_CTX* NewServerContext();

// Frees the loaded material.
void ReleaseLocalTls();

struct LocalPki {
    X509* ca = nullptr;
    X509* server = nullptr;
    EVP_PKEY* serverKey = nullptr;
};
// Makes a new CA and server certificate with RSA keys of keyBits; the CA key
// is freed before returning. Caller frees the three objects.
bool MakeLocalPki(int keyBits, LocalPki& out);
void FreeLocalPki(LocalPki& pki);

}  // namespace zk::http
