#include "zelkord/PrivateKey.h"

#include "zelkord/Errors.h"
#include "zelkord/TokenConnection.h"
#include "zelkord/TokenPrivateKey.h"

namespace zkd {

int CheckKeyReachable(const uint8_t* key, ZKKeyLen keyLen) {
    if (key) return ZK_E_OK;
    return FindConnection(static_cast<ZKTokenKey>(keyLen)) ? ZK_E_OK : ZK_E_DONGLE;
}

int OpenPrivateKey(const uint8_t* key, ZKKeyLen keyLen, const char* pass, X509* cert, PrivateKey& out) {
    out = PrivateKey();
    if (!cert) return Fail(ZK_E_CERT_INFO, "the certificate cannot be read");
    if (!key) {  // on a token: the PIN was given when it was connected
        std::shared_ptr<TokenConnection> connection = FindConnection(static_cast<ZKTokenKey>(keyLen));
        if (!connection) return ZK_E_DONGLE;
        if (int rc = OpenTokenPrivateKey(connection, X509_get0_pubkey(cert), out.owned_)) return rc;
        out.key_ = out.owned_.get();
        return ZK_E_OK;
    }
    if (int rc = OpenKeyFile(key, static_cast<size_t>(keyLen), pass, out.file_)) return rc;
    int index = FindKeyFor(out.file_, cert);
    if (index < 0) return Fail(ZK_E_KEY_MISMATCH, "the key file holds no key of this certificate");
    out.key_ = out.file_.keys[static_cast<size_t>(index)].key.get();
    return ZK_E_OK;
}

}  // namespace zkd
