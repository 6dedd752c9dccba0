// Binding of the crypto provider library: loading, the bound exports, the
// methods table, the crypto library table and the worker-thread hooks.
//
// Callers never call an absent export or an empty methods-table slot: Call()
// and CallSlot() answer kMissingOperation instead (code 2 of the shared table,
// "the provider does not support it"), which is also what a command gets when
// the provider failed to load. Commands and the discovery call the provider
// through provider/Operations.h only.
#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "provider/Exports.h"
#include "provider/Operations.h"
#include "provider/ZelkorD.h"

namespace zk::provider {

// Process-wide binding: written by LoadProvider/UnloadProvider only (before
// and after every other thread), read without a lock.
struct Binding {
    void* firstRef = nullptr;
    void* secondRef = nullptr;
    Exports exports;
    const ZKLDProc* methods = nullptr;        // through the second reference
    const ZKLDProc* methodsForLog = nullptr;  // through the first reference
    ZKLDContext context = nullptr;
    CryptoLibInfo table[ZK_CRYPTO_LIB_COUNT];
    int libCount = 0;
    bool tableCreated = false;
};

const Binding& Get();

struct LoadOptions {
    std::string libraryName = "libZelkorD.so";  // found through the executable's RUNPATH
    std::string paramsPath;                     // empty: the module path with ".ini"
};

// 0 when the provider is ready; 1 with a text for the user (Windows-1251).
int LoadProvider(std::string& errorText, const LoadOptions& options = {});
void UnloadProvider();

// Worker threads announce their start and end to the provider.
void ProviderThreadAttach();
void ProviderThreadDetach();

// Hands the log callback to the provider (slot 55 of the first reference).
void HandLogCallback(ZKLogCallback callback);

// Number of leading crypto library entries in use (stops at the first unused).
int CountLoadedLibraries(const CryptoLibInfo* table, int entries);

// Text for a non-zero load code of slot 0 with the kept name (Windows-1251).
std::string LoadCodeText(int code, const std::string& name);

// Calls an export; kMissingOperation when it is not bound.
template <auto Member, typename... Args>
int Call(Args&&... args) {
    auto fn = Get().exports.*Member;
    if (!fn) return kMissingOperation;
    if constexpr (std::is_void_v<decltype(fn(std::forward<Args>(args)...))>) {
        fn(std::forward<Args>(args)...);
        return 0;
    } else {
        return fn(std::forward<Args>(args)...);
    }
}

// A slot of a methods table with its contract type, or nullptr when the
// table or the slot is absent.
template <int N>
typename ZKLDSlotType<N>::type SlotIn(const ZKLDProc* m) {
    static_assert(N >= 0 && N < ZKLD_METHOD_COUNT);
    if (!m || !m[N]) return nullptr;
    return reinterpret_cast<typename ZKLDSlotType<N>::type>(m[N]);
}

// A slot of the bound methods table.
template <int N>
typename ZKLDSlotType<N>::type Slot() {
    return SlotIn<N>(Get().methods);
}

// Calls a slot that takes the library context first; kMissingOperation when absent.
template <int N, typename... Args>
int CallSlot(Args&&... args) {
    auto fn = Slot<N>();
    if (!fn) return kMissingOperation;
    return fn(Get().context, std::forward<Args>(args)...);
}

}  // namespace zk::provider
