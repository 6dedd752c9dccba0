// Slot 25: the 32-byte hash of a crypto library (SHA-256).
#include <openssl/evp.h>

#include "zelkord/Errors.h"
#include "zelkord/Registry.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {


int Hash(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out32, int32_t, int32_t) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(ZK_E_PROVIDER_NOT_SUPPORTED, "Unknown crypto library");
    if ((!data && len) || !out32) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Missing data or output");
    unsigned int n = 0;
    static const uint8_t kEmpty = 0;
    if (EVP_Digest(data ? data : &kEmpty, len, out32, &n, EVP_sha256(), nullptr) != 1 || n != 32)
        return Fail(ZK_E_NO_HASH, "Hash failed");
    return ZK_E_OK;
}

}  // namespace

ZKD_SLOT(ZKLD_SLOT_HASH, Hash);

}  // namespace zkd
