// Start and end of the library's work.
#include <openssl/crypto.h>

#include "zelkord/Context.h"
#include "zelkord/DerivationContext.h"
#include "zelkord/ParsedCerts.h"
#include "zelkord/Pkcs11.h"
#include "zelkord/PrivateKey.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

int LibraryInit() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    PrepareSecureHeap();  // before any private key is opened
    ZKD_LOG("Library started");
    return ZK_E_OK;
}

int LibraryTerm() {
    CloseAllKeptKeys();
    ForgetParsedCerts();
    ReleaseTokenProviders();  // each token module ends once its last connection does
    ReleaseDerivationLibCtx();
    ZKD_LOG("Library stopped");
    return ZK_E_OK;
}

}  // namespace

ZKD_EXPORT(ZKLLIB_Init, LibraryInit);
ZKD_EXPORT(ZKLLIB_Term, LibraryTerm);

}  // namespace zkd
