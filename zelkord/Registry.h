// Registration of the provider's operations against the contract's lists in
// provider/ZelkorD.h. An operation is an ordinary function of the library;
//   ZKD_SLOT(ZKLD_SLOT_HASH, Hash);              puts it in its methods-table slot,
//   ZKD_EXPORT(ZKLCTX_GetCertInfo, CertInfo);    makes it the export of that name.
// Either fails to compile when the function's type differs from the one the
// contract gives the slot or export. Every registered operation runs behind a
// guard: an exception never crosses the C boundary, it is answered with a
// provider error code (and recorded as the last error) instead.
#pragma once
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "provider/ZelkorD.h"

namespace zkd {

// Records the failure of an operation that threw as the last error and
// returns the code answered for it; never throws.
int FailFromException(const char* what) noexcept;

// The answer of an operation that threw, by its return type.
template <typename R>
R ThrownAnswer(const char* what) noexcept {
    const int code = FailFromException(what);
    if constexpr (std::is_void_v<R>) {
        static_cast<void>(code);
    } else if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return static_cast<R>(code);
    }
}

// Fn with every exception caught.
template <auto Fn, typename = decltype(Fn)>
struct Guarded;
template <auto Fn, typename R, typename... A>
struct Guarded<Fn, R (*)(A...)> {
    static R Call(A... args) noexcept {
        try {
            return Fn(args...);
        } catch (const std::bad_alloc&) {
            return ThrownAnswer<R>("out of memory");
        } catch (const std::exception& e) {
            return ThrownAnswer<R>(e.what());
        } catch (...) {
            return ThrownAnswer<R>("unknown failure");
        }
    }
};

// --- methods-table slots

void RegisterSlot(int slot, ZKLDProc proc);

template <int Slot, auto Fn>
struct SlotRegistration {
    static_assert(std::is_same_v<decltype(Fn), typename ZKLDSlotType<Slot>::type>,
                  "the function's type differs from the slot's in provider/ZelkorD.h");
    SlotRegistration() { RegisterSlot(Slot, reinterpret_cast<ZKLDProc>(&Guarded<Fn>::Call)); }
};

// --- exports

// The implementation behind each export; an export without one answers that
// the operation is not offered.
struct ExportTable {
#define ZKD_EXPORT_FIELD(ret, name, seq) name##_t name = nullptr;
    ZK_PROVIDER_EXPORTS(ZKD_EXPORT_FIELD)
#undef ZKD_EXPORT_FIELD
};
ExportTable& Exports();

template <auto Member, auto Fn>
struct ExportRegistration {
    using Type = std::remove_reference_t<decltype(std::declval<ExportTable&>().*Member)>;
    static_assert(std::is_same_v<decltype(Fn), Type>,
                  "the function's type differs from the export's in provider/ZelkorD.h");
    ExportRegistration() { Exports().*Member = &Guarded<Fn>::Call; }
};

}  // namespace zkd

#define ZKD_SLOT(slot, fn) static const ::zkd::SlotRegistration<slot, &fn> zkdRegistered_##slot
#define ZKD_EXPORT(name, fn) \
    static const ::zkd::ExportRegistration<&::zkd::ExportTable::name, &fn> zkdRegistered_##name
