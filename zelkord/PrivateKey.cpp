#include "zelkord/PrivateKey.h"

#include "zelkord/Errors.h"

namespace zkd {

int CheckKeyReachable(const uint8_t* key, ZKKeyLen) {
    if (!key) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "keys on hardware tokens are not supported by this provider");
    return ZK_E_OK;
}

int OpenPrivateKey(const uint8_t* key, ZKKeyLen keyLen, const char* pass, X509* cert, PrivateKey& out) {
    out = PrivateKey();
    if (int rc = CheckKeyReachable(key, keyLen)) return rc;
    if (!cert) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    if (int rc = OpenKeyFile(key, static_cast<size_t>(keyLen), pass, out.file_)) return rc;
    int index = FindKeyFor(out.file_, cert);
    if (index < 0) return Fail(ZK_E_KEY_MISMATCH, "the key file holds no key of this certificate");
    out.key_ = out.file_.keys[static_cast<size_t>(index)].key.get();
    return ZK_E_OK;
}

}  // namespace zkd
