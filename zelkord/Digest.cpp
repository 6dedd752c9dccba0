// Slot 25: the 32-byte hash of a crypto library (SHA-256).
#include <openssl/evp.h>

#include "zelkord/Errors.h"
#include "zelkord/Methods.h"
#include "zelkord/Output.h"

namespace zkd {
namespace {

constexpr int kNoHash = 24;

int Hash(ZKLDContext ctx, int32_t lib, const uint8_t* data, uint32_t len, uint8_t* out32, int32_t, int32_t) {
    if (!IsKnownLibrary(ctx, lib)) return Fail(kUnknownLibrary, "Unknown crypto library");
    if ((!data && len) || !out32) return Fail(kBadArguments, "Missing data or output");
    unsigned int n = 0;
    static const uint8_t kEmpty = 0;
    if (EVP_Digest(data ? data : &kEmpty, len, out32, &n, EVP_sha256(), nullptr) != 1 || n != 32)
        return Fail(kNoHash, "Hash failed");
    return 0;
}

}  // namespace

ZKD_SLOT(25, Hash);

}  // namespace zkd
