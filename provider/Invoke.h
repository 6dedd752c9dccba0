// One call of a provider operation, made from the contract list itself:
//   Invoke<ZK_EXPORT(ZKLCTX_CheckKeyPair)>(site, cert, key, pass)
//   Invoke<ZK_METHOD(ZKLD_SLOT_SIGN)>(site, lib, data, out, key, cert, pass)
// The arguments are the contract's, except that
// - a ByteView (or a vector of bytes) stands for a (bytes, 32-bit length)
//   pair (no bytes when it is empty), refused with kInputTooLarge when its
//   length does not fit;
// - a KeyRef stands for a (key bytes, key length or token handle) pair;
// - an Output (or Secret(output): wiped when released) stands for an
//   (output buffer, length pointer) pair, sized with the two-call pattern:
//   the call without a buffer learns the length, the call with one fills it.
// The call answers kMissingOperation when the provider lacks the operation,
// and under a Site writes "Before <name>" and "After <name>, Return: %d",
// the name being the contract's without its prefix (ZKLCTX_CheckKeyPair:
// "CheckKeyPair"). So a new operation is one entry of the contract list, the
// provider's function, and the command that invokes it.
#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "provider/Exports.h"

namespace zk::provider {

constexpr int kMissingOperation = ZK_E_PROVIDER_NOT_SUPPORTED;
// The answer to an input larger than a 32-bit length can describe.
constexpr int kInputTooLarge = ZK_E_BAD_REQUEST_PARAMS;

// Where the log lines of a call go. A default Site writes none; operation,
// when set, names the operation in the lines instead of its usual name.
struct Site {
    const char* function = nullptr;
    const char* file = nullptr;
    int line = 0;
    const char* operation = nullptr;
};

using ByteView = std::span<const uint8_t>;

// A private key argument: the key file's bytes, or a connected token key.
struct KeyRef {
    ByteView bytes;
    ZKTokenKey token = 0;
};

class Output;
// An output that may hold a secret (wiped when released).
struct SecretOutput {
    Output& out;
};
inline SecretOutput Secret(Output& out) { return {out}; }
// An output written over memory the caller already holds (an operation that
// may write over its own input, which the contract says where it may): one
// call with the whole room; written is what the provider wrote.
struct Overwrite {
    std::span<uint8_t> room;
    uint32_t written = 0;
};

// An operation by its export, or by its methods-table slot (called with the
// library context first).
template <auto Member>
struct Export {};
template <int N>
struct Method {};

namespace detail {

// The contract name without its prefix ("ZKLCTX_", "ZKLD_", ...).
constexpr const char* Unprefixed(const char* name) {
    const char* at = name;
    while (*at && *at != '_') ++at;
    return *at ? at + 1 : name;
}

template <class Op>
struct Operation;

#define ZK_EXPORT_OPERATION(ret, name, seq)                                         \
    template <>                                                                   \
    struct Operation<Export<&Exports::name>> {                                    \
        static constexpr const char* kName = Unprefixed(#name);                   \
        static auto Function() { return BoundExports().name; }                    \
        template <class... A>                                                     \
        static int Call(name##_t fn, A&&... a) {                                  \
            if constexpr (std::is_void_v<decltype(fn(std::forward<A>(a)...))>) {  \
                fn(std::forward<A>(a)...);                                        \
                return 0;                                                         \
            } else {                                                              \
                return fn(std::forward<A>(a)...);                                 \
            }                                                                     \
        }                                                                         \
    };
ZK_PROVIDER_EXPORTS(ZK_EXPORT_OPERATION)
#undef ZK_EXPORT_OPERATION

#define ZK_METHOD_OPERATION(index, id, ret, name, seq)                              \
    template <>                                                                   \
    struct Operation<Method<id>> {                                                \
        static constexpr const char* kName = Unprefixed(#name);                   \
        static name##_t Function() {                                              \
            const ZKLDProc* m = BoundMethods();                                   \
            return m && m[id] ? reinterpret_cast<name##_t>(m[id]) : nullptr;     \
        }                                                                         \
        template <class... A>                                                     \
        static int Call(name##_t fn, A&&... a) {                                  \
            return fn(BoundContext(), std::forward<A>(a)...);                     \
        }                                                                         \
    };
ZK_PROVIDER_SLOTS(ZK_METHOD_OPERATION)
#undef ZK_METHOD_OPERATION

inline bool Fits(size_t n) { return n <= std::numeric_limits<uint32_t>::max(); }

template <class A>
using Bare = std::remove_cvref_t<A>;
template <class A>
constexpr bool kIsOutput = std::is_same_v<Bare<A>, Output> || std::is_same_v<Bare<A>, SecretOutput>;

// Bytes the caller holds: a ByteView, or a vector of bytes.
template <class A>
constexpr bool kIsBytes = std::is_same_v<Bare<A>, ByteView> || std::is_same_v<Bare<A>, std::vector<uint8_t>>;

template <class A>
bool ArgFits(const A& a) {
    if constexpr (kIsBytes<A>) return Fits(a.size());
    else if constexpr (std::is_same_v<Bare<A>, Overwrite>) return Fits(a.room.size());
    else if constexpr (std::is_same_v<Bare<A>, KeyRef>) return Fits(a.bytes.size());
    else return true;
}

// Where the two-call pattern puts its buffer and length for this call.
struct OutSlot {
    uint8_t* buffer = nullptr;
    uint32_t* length = nullptr;
};

// The contract's arguments one argument of the caller stands for.
template <class A>
auto Expand(A& a, const OutSlot& slot) {
    if constexpr (kIsBytes<A>) {
        return std::make_tuple(a.empty() ? nullptr : static_cast<const uint8_t*>(a.data()),
                               static_cast<uint32_t>(a.size()));
    } else if constexpr (std::is_same_v<Bare<A>, KeyRef>) {
        return std::make_tuple(a.token ? nullptr : a.bytes.data(),
                               a.token ? a.token : static_cast<ZKKeyLen>(a.bytes.size()));
    } else if constexpr (kIsOutput<A>) {
        return std::make_tuple(slot.buffer, slot.length);
    } else if constexpr (std::is_same_v<Bare<A>, Overwrite>) {
        a.written = static_cast<uint32_t>(a.room.size());
        return std::make_tuple(a.room.data(), &a.written);
    } else {
        return std::tuple<A&>(a);
    }
}

template <class A>
Output* OutputOf(A& a, bool& secret) {
    if constexpr (std::is_same_v<Bare<A>, Output>) return &a;
    else if constexpr (std::is_same_v<Bare<A>, SecretOutput>) return (secret = true, &a.out);
    else return nullptr;
}

// The two-call pattern into out (its definition: Operations.cpp).
int SizedCall(Output& out, bool secret, const std::function<int(const OutSlot&)>& call);

void LogBefore(const Site& site, const char* name);
void LogAfter(const Site& site, const char* name, int code);

}  // namespace detail

template <class Op, class... A>
int Invoke(const Site& site, A&&... args) {
    using O = detail::Operation<Op>;
    const char* name = site.operation ? site.operation : O::kName;
    detail::LogBefore(site, name);
    const int code = [&] {
        const auto fn = O::Function();
        if (!fn) return kMissingOperation;
        if (!(detail::ArgFits(args) && ...)) return kInputTooLarge;
        auto call = [&](const detail::OutSlot& slot) {
            return std::apply([&](auto&&... c) { return O::Call(fn, std::forward<decltype(c)>(c)...); },
                              std::tuple_cat(detail::Expand(args, slot)...));
        };
        static_assert((0 + ... + (detail::kIsOutput<A> ? 1 : 0)) <= 1, "one sized output per call");
        if constexpr ((false || ... || detail::kIsOutput<A>)) {
            bool secret = false;
            Output* out = nullptr;
            ((out = out ? out : detail::OutputOf(args, secret)), ...);
            return detail::SizedCall(*out, secret, call);
        } else {
            return call(detail::OutSlot{});
        }
    }();
    detail::LogAfter(site, name, code);
    return code;
}

}  // namespace zk::provider

// An operation of the contract list by its name: ZK_EXPORT(ZKLCTX_CheckKeyPair), ZK_METHOD(ZKLD_SLOT_SIGN).
#define ZK_EXPORT(name) ::zk::provider::Export<&::zk::provider::Exports::name>
#define ZK_METHOD(id) ::zk::provider::Method<id>
