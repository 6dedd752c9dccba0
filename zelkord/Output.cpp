#include "zelkord/Output.h"

#include <cstring>
#include <limits>

#include "zelkord/Context.h"
#include "zelkord/Errors.h"

namespace zkd {

int PutOutput(const void* data, size_t len, uint8_t* out, uint32_t* outLen) {
    if (!outLen) return Fail(ZK_E_BAD_REQUEST_PARAMS, "No output length");
    if (len > std::numeric_limits<uint32_t>::max()) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output too large");
    if (out) {
        if (*outLen < len) return Fail(ZK_E_BAD_REQUEST_PARAMS, "Output buffer too small");
        if (len) std::memmove(out, data, len);  // out may be the caller's block the data lies in
    }
    *outLen = static_cast<uint32_t>(len);
    return ZK_E_OK;
}

bool IsKnownLibrary(ZKLDContext ctx, int32_t lib) {
    const Context* c = static_cast<const Context*>(ctx);
    return c && c == CurrentContext() && lib >= 0 && static_cast<size_t>(lib) < c->libs.size();
}

}  // namespace zkd
