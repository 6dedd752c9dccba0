#include "zelkord/Registry.h"

#include "zelkord/Errors.h"

namespace zkd {
namespace {

ZKLDProc* MethodsTable() {
    static ZKLDProc table[ZKLD_METHOD_COUNT] = {};
    return table;
}

const ZKLDProc* GetMethods() { return MethodsTable(); }

// What an export without an implementation answers.
template <typename R>
R NotOffered() {
    if constexpr (std::is_void_v<R>)
        return;
    else if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(ZK_E_PROVIDER_NOT_SUPPORTED);
}

}  // namespace

int FailFromException(const char* what) noexcept {
    return FailQuietly(ZK_E_PROVIDER_NOT_SUPPORTED, "internal failure: ", what);
}

void RegisterSlot(int slot, ZKLDProc proc) {
    if (slot >= 0 && slot < ZKLD_METHOD_COUNT) MethodsTable()[slot] = proc;
}

ExportTable& Exports() {
    static ExportTable table;
    return table;
}

ZKD_EXPORT(ZKLD_GetMethods, GetMethods);

}  // namespace zkd

// Every export of the contract, defined against its prototype: it runs the
// registered implementation (already guarded) or answers "not offered".
#define ZKD_DEFINE_EXPORT(ret, name, seq)                                                      \
    extern "C" __attribute__((visibility("default"))) ret name(ZK_PARAMS(seq)) {               \
        const auto impl = ::zkd::Exports().name;                                               \
        return impl ? impl(ZK_ARGS(seq)) : ::zkd::NotOffered<ret>();                           \
    }
ZK_PROVIDER_EXPORTS(ZKD_DEFINE_EXPORT)
#undef ZKD_DEFINE_EXPORT
