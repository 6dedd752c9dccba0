// The contents of a key store the page gives (ZKLCTX_GetCertsFromPBContainer,
// ZKLCTX_GetKeysFromPBContainer): its certificates, and the private keys of
// chosen certificates, each handed out as a key file of its own (PKCS#12
// with the key and that certificate) under the store's password, so that
// the rest of the system opens it like any key file.
//
// Both follow the caller's three calls: without arrays only the counts;
// with arrays whose buffers are null only the lengths; then the bytes.
#include <openssl/err.h>

#include <cstring>
#include <string>

#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "zelkord/Errors.h"
#include "zelkord/KeyFile.h"
#include "zelkord/KeyStore.h"
#include "zelkord/Output.h"
#include "zelkord/Registry.h"
#include "zelkord/SignedData.h"

namespace zkd {
namespace {

// Room for n items in an array of the caller (its count in/out).
int CheckRoom(int32_t* count, size_t n, const char* what) {
    const bool fits = *count >= 0 && static_cast<size_t>(*count) >= n;
    *count = static_cast<int32_t>(n);
    return fits ? ZK_E_OK : Fail(ZK_E_BAD_REQUEST_PARAMS, std::string("room for fewer ") + what);
}

// One item into its pair: its length alone while the pair has no buffer.
int PutItem(const uint8_t* data, size_t len, ZKBlob& pair) {
    uint32_t room = pair.length;
    const int rc = PutOutput(data, len, pair.data, &room);
    if (rc == 0) pair.length = room;
    return rc;
}

int GetCertsFromPBContainer(const uint8_t* store, uint32_t len, ZKBlob* certs, int32_t* count, uint8_t onlyUserCerts,
                            const char* pass) {
    if (!count) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing count");
    KeyStore opened;
    if (int rc = OpenKeyStore(store, len, pass, false, opened)) return rc;
    std::vector<X509*> listed;
    for (const StoreCert& c : opened.certs)
        if (!onlyUserCerts || c.owner) listed.push_back(c.cert.get());
    if (!certs) {
        *count = static_cast<int32_t>(listed.size());
        return ZK_E_OK;
    }
    if (int rc = CheckRoom(count, listed.size(), "certificates than the store holds")) return rc;
    for (size_t i = 0; i < listed.size(); ++i) {
        const Bytes der = CertificateDer(listed[i]);
        if (int rc = PutItem(der.data(), der.size(), certs[i])) return rc;
    }
    return ZK_E_OK;
}

// The key of cert among the store's keys that opened, or -1.
int KeyIndexFor(const KeyStore& store, X509* cert) {
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    for (size_t i = 0; pub && i < store.keys.size(); ++i)
        if (store.keys[i].key && EVP_PKEY_eq(store.keys[i].key.get(), pub) == 1) return static_cast<int>(i);
    ERR_clear_error();
    return -1;
}

// A key file of one key with its certificate, under the store's password.
int KeyFileOf(EVP_PKEY* key, X509* cert, const char* pass, zk::SecretBytes& out) {
    KeyFile file;
    file.keys.emplace_back();
    if (EVP_PKEY_up_ref(key) != 1 || X509_up_ref(cert) != 1) throw std::bad_alloc();
    file.keys.back().key.reset(key);
    file.certs.emplace_back();
    file.certs.back().cert.reset(cert);
    const int rc = WriteKeyFile(file, KeyFileKind::Pkcs12, pass, out.bytes());
    out.KeepOutOfDumps();
    return rc;
}

void PutName(const std::string& text, ZKName& name) { zk::WriteTextField(name, text); }

int GetKeysFromPBContainer(const uint8_t* store, uint32_t len, const char* pass, const ZKBlob* certs,
                           int32_t certCount, ZKBlob* keys, int32_t* keyCount, ZKName* names, int32_t* nameCount) {
    if (!keyCount || !nameCount || certCount < 0 || (certCount > 0 && !certs))
        return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing certificates or counts");
    KeyStore opened;
    if (int rc = OpenKeyStore(store, len, pass, true, opened)) return rc;

    // Each certificate in turn: its key (each key once), or its identifier among the unprocessed.
    std::vector<std::pair<int, X509Ptr>> found;  // key index, the certificate asked with
    std::vector<std::string> unprocessed;
    std::vector<bool> taken(opened.keys.size(), false);
    for (int32_t i = 0; i < certCount; ++i) {
        X509Ptr cert = ParseCertificate(certs[i].data, certs[i].length);
        if (!cert) continue;  // nothing to name it by
        const int k = KeyIndexFor(opened, cert.get());
        if (k < 0) {
            unprocessed.push_back(CertKeyIdentifier(cert.get()));
        } else if (!taken[static_cast<size_t>(k)]) {
            taken[static_cast<size_t>(k)] = true;
            found.emplace_back(k, std::move(cert));
        }
    }
    if (names && (CheckRoom(nameCount, unprocessed.size(), "names than unprocessed certificates")))
        return ZK_E_BAD_REQUEST_PARAMS;
    if (keys && (CheckRoom(keyCount, found.size(), "keys than the store gives")))
        return ZK_E_BAD_REQUEST_PARAMS;
    *nameCount = static_cast<int32_t>(unprocessed.size());
    *keyCount = static_cast<int32_t>(found.size());
    for (size_t i = 0; names && i < unprocessed.size(); ++i) PutName(unprocessed[i], names[i]);
    for (size_t i = 0; keys && i < found.size(); ++i) {
        zk::SecretBytes file;
        if (int rc = KeyFileOf(opened.keys[static_cast<size_t>(found[i].first)].key.get(), found[i].second.get(),
                               pass, file))
            return rc;
        if (int rc = PutItem(file.bytes().data(), file.bytes().size(), keys[i])) return rc;
    }
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLCTX_GetCertsFromPBContainer, GetCertsFromPBContainer);
ZKD_EXPORT(ZKLCTX_GetKeysFromPBContainer, GetKeysFromPBContainer);

}  // namespace zkd
