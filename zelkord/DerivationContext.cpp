#include "zelkord/DerivationContext.h"

#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "zelkord/GiveUp.h"

namespace zkd {
namespace {

constexpr const char* kProviderName = "zk-giveup";
constexpr const char* kProperty = "provider=zk-giveup";
constexpr const char* kLegacyProvider = "legacy";
constexpr const char* kPreferred = "?provider=zk-giveup";  // its digests first, the default provider's for the rest

// The digests that PBKDF2 (as its HMAC), the PKCS#12 key generation and MAC
// and the PKCS#5 v1.5 schemes iterate, by the default provider's first name.
constexpr std::array<std::string_view, 8> kWrapped = {"SHA1",     "SHA2-224",     "SHA2-256",     "SHA2-384",
                                                      "SHA2-512", "SHA2-512/224", "SHA2-512/256", "MD5"};
constexpr size_t kCount = kWrapped.size();
constexpr size_t kMaxFunctions = 24;

// How many digest steps (updates and finals) a thread makes between two
// questions to the host: one question per about a hundred PBKDF2 iterations.
constexpr unsigned kAskEvery = 512;

// The default provider's functions of one digest that this provider does not
// hand on as they are: those that take the provider context, and the steps
// that ask.
struct Inner {
    OSSL_FUNC_digest_newctx_fn* newctx = nullptr;
    OSSL_FUNC_digest_freectx_fn* freectx = nullptr;
    OSSL_FUNC_digest_init_fn* init = nullptr;
    OSSL_FUNC_digest_update_fn* update = nullptr;
    OSSL_FUNC_digest_final_fn* final = nullptr;
    OSSL_FUNC_digest_digest_fn* digest = nullptr;
    OSSL_FUNC_digest_gettable_params_fn* gettableParams = nullptr;
    OSSL_FUNC_digest_settable_ctx_params_fn* settableCtxParams = nullptr;
    OSSL_FUNC_digest_gettable_ctx_params_fn* gettableCtxParams = nullptr;
};

// Filled while the context is made (under g_lock), read-only while it lives.
struct Wrapping {
    void* defaultProvCtx = nullptr;
    std::array<Inner, kCount> inner;
    std::array<std::string, kCount> names;
    std::array<std::array<OSSL_DISPATCH, kMaxFunctions>, kCount> dispatch{};
    std::array<OSSL_ALGORITHM, kCount + 1> algorithms{};
};
Wrapping g_wrap;

std::mutex g_lock;
OSSL_LIB_CTX* g_ctx = nullptr;
OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_own = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;

thread_local unsigned t_steps = 0;

// One spare digest context per digest and thread. OpenSSL 3.0's
// EVP_DigestInit_ex frees the digest's context and makes a new one on every
// init, even of the same digest, and the PKCS#12 key generation inits once
// per iteration: a file of 600,000 iterations per derivation made and freed
// millions of them. A context freed here waits, reset by the digest's own
// init (its state came from a password), for the thread's next newctx; it is
// freed when the thread ends.
struct Spare {
    void* ctx = nullptr;
    OSSL_FUNC_digest_freectx_fn* free = nullptr;  // kept with it: the wrapping may be made again meanwhile
};
struct Spares {
    std::array<Spare, kCount> of{};
    ~Spares() {
        for (Spare& s : of)
            if (s.ctx) s.free(s.ctx);
    }
};
thread_local Spares t_spares;

bool GiveUpNow() { return ++t_steps % kAskEvery == 0 && GivenUp(); }

template <size_t I>
void* NewCtx(void*) {
    Spare& spare = t_spares.of[I];
    if (spare.ctx && spare.free == g_wrap.inner[I].freectx) return std::exchange(spare.ctx, nullptr);
    return g_wrap.inner[I].newctx(g_wrap.defaultProvCtx);
}
template <size_t I>
void FreeCtx(void* ctx) {
    const Inner& in = g_wrap.inner[I];
    Spare& spare = t_spares.of[I];
    if (spare.ctx || !in.init || in.init(ctx, nullptr) != 1) return in.freectx(ctx);
    spare = {ctx, in.freectx};
}
template <size_t I>
int Update(void* ctx, const unsigned char* in, size_t len) {
    return GiveUpNow() ? 0 : g_wrap.inner[I].update(ctx, in, len);
}
template <size_t I>
int Final(void* ctx, unsigned char* out, size_t* outLen, size_t outSize) {
    return GiveUpNow() ? 0 : g_wrap.inner[I].final(ctx, out, outLen, outSize);
}
template <size_t I>
int Digest(void*, const unsigned char* in, size_t len, unsigned char* out, size_t* outLen, size_t outSize) {
    return GiveUpNow() ? 0 : g_wrap.inner[I].digest(g_wrap.defaultProvCtx, in, len, out, outLen, outSize);
}
template <size_t I>
const OSSL_PARAM* GettableParams(void*) {
    return g_wrap.inner[I].gettableParams(g_wrap.defaultProvCtx);
}
template <size_t I>
const OSSL_PARAM* SettableCtxParams(void* ctx, void*) {
    return g_wrap.inner[I].settableCtxParams(ctx, g_wrap.defaultProvCtx);
}
template <size_t I>
const OSSL_PARAM* GettableCtxParams(void* ctx, void*) {
    return g_wrap.inner[I].gettableCtxParams(ctx, g_wrap.defaultProvCtx);
}

using Fn = void (*)(void);
template <typename F>
Fn AsFn(F* f) {
    return reinterpret_cast<Fn>(f);
}

// Digest I's dispatch table from the default provider's: the functions that
// take no provider context and do not ask are handed on as they are.
template <size_t I>
bool Wrap(const OSSL_DISPATCH* from) {
    Inner& in = g_wrap.inner[I];
    auto& to = g_wrap.dispatch[I];
    size_t n = 0;
    for (const OSSL_DISPATCH* f = from; f->function_id != 0; ++f) {
        if (n + 1 >= to.size()) return false;
        Fn mine = f->function;
        switch (f->function_id) {
            case OSSL_FUNC_DIGEST_NEWCTX:
                in.newctx = OSSL_FUNC_digest_newctx(f);
                mine = AsFn(&NewCtx<I>);
                break;
            case OSSL_FUNC_DIGEST_FREECTX:
                in.freectx = OSSL_FUNC_digest_freectx(f);
                mine = AsFn(&FreeCtx<I>);
                break;
            case OSSL_FUNC_DIGEST_INIT:
                in.init = OSSL_FUNC_digest_init(f);
                break;
            case OSSL_FUNC_DIGEST_UPDATE:
                in.update = OSSL_FUNC_digest_update(f);
                mine = AsFn(&Update<I>);
                break;
            case OSSL_FUNC_DIGEST_FINAL:
                in.final = OSSL_FUNC_digest_final(f);
                mine = AsFn(&Final<I>);
                break;
            case OSSL_FUNC_DIGEST_DIGEST:
                in.digest = OSSL_FUNC_digest_digest(f);
                mine = AsFn(&Digest<I>);
                break;
            case OSSL_FUNC_DIGEST_GETTABLE_PARAMS:
                in.gettableParams = OSSL_FUNC_digest_gettable_params(f);
                mine = AsFn(&GettableParams<I>);
                break;
            case OSSL_FUNC_DIGEST_SETTABLE_CTX_PARAMS:
                in.settableCtxParams = OSSL_FUNC_digest_settable_ctx_params(f);
                mine = AsFn(&SettableCtxParams<I>);
                break;
            case OSSL_FUNC_DIGEST_GETTABLE_CTX_PARAMS:
                in.gettableCtxParams = OSSL_FUNC_digest_gettable_ctx_params(f);
                mine = AsFn(&GettableCtxParams<I>);
                break;
            default:
                break;
        }
        to[n++] = {f->function_id, mine};
    }
    to[n] = {0, nullptr};
    return in.newctx && in.freectx && in.update && in.final;
}

using WrapFn = bool (*)(const OSSL_DISPATCH*);
template <size_t... I>
constexpr std::array<WrapFn, kCount> WrapFunctions(std::index_sequence<I...>) {
    return {&Wrap<I>...};
}
constexpr std::array<WrapFn, kCount> kWrap = WrapFunctions(std::make_index_sequence<kCount>());

std::string_view FirstName(const char* names) {
    std::string_view all(names ? names : "");
    return all.substr(0, all.find(':'));
}

// The wrapped digests, taken from the default provider loaded in ctx.
bool TakeDigests(OSSL_PROVIDER* def) {
    g_wrap = Wrapping{};
    g_wrap.defaultProvCtx = OSSL_PROVIDER_get0_provider_ctx(def);
    int noCache = 0;
    const OSSL_ALGORITHM* algorithms = OSSL_PROVIDER_query_operation(def, OSSL_OP_DIGEST, &noCache);
    size_t used = 0;
    for (const OSSL_ALGORITHM* a = algorithms; a && a->algorithm_names; ++a)
        for (size_t i = 0; i < kCount; ++i) {
            if (FirstName(a->algorithm_names) != kWrapped[i] || !g_wrap.names[i].empty()) continue;
            if (!kWrap[i](a->implementation)) continue;
            g_wrap.names[i] = a->algorithm_names;  // every alias, so that each name finds this digest
            g_wrap.algorithms[used++] = {g_wrap.names[i].c_str(), kProperty, g_wrap.dispatch[i].data(), nullptr};
        }
    OSSL_PROVIDER_unquery_operation(def, OSSL_OP_DIGEST, algorithms);
    g_wrap.algorithms[used] = {nullptr, nullptr, nullptr, nullptr};
    return used > 0;
}

const OSSL_ALGORITHM* QueryOperation(void*, int operation, int* noCache) {
    *noCache = 0;
    return operation == OSSL_OP_DIGEST ? g_wrap.algorithms.data() : nullptr;
}

const OSSL_DISPATCH kProviderFunctions[] = {
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, AsFn(&QueryOperation)},
    {0, nullptr},
};

int ProviderInit(const OSSL_CORE_HANDLE*, const OSSL_DISPATCH*, const OSSL_DISPATCH** out, void** provCtx) {
    static int self = 0;
    *out = kProviderFunctions;
    *provCtx = &self;
    return 1;
}

void FreeLocked() {
    if (g_legacy) OSSL_PROVIDER_unload(g_legacy);
    if (g_own) OSSL_PROVIDER_unload(g_own);
    if (g_default) OSSL_PROVIDER_unload(g_default);
    OSSL_LIB_CTX_free(g_ctx);
    g_legacy = g_own = g_default = nullptr;
    g_ctx = nullptr;
}

}  // namespace

OSSL_LIB_CTX* DerivationLibCtx() {
    std::lock_guard held(g_lock);
    if (g_ctx) return g_ctx;
    g_ctx = OSSL_LIB_CTX_new();
    g_default = g_ctx ? OSSL_PROVIDER_load(g_ctx, "default") : nullptr;
    const bool made = g_default && TakeDigests(g_default) &&
                      OSSL_PROVIDER_add_builtin(g_ctx, kProviderName, &ProviderInit) == 1 &&
                      (g_own = OSSL_PROVIDER_load(g_ctx, kProviderName)) != nullptr &&
                      EVP_set_default_properties(g_ctx, kPreferred) == 1;
    if (!made) FreeLocked();
    // The ciphers of older key files (RC2, RC4, DES), here only: what this
    // library writes it encrypts in the default context, with modern ciphers.
    // Without the module (not installed) those files do not open; the rest do.
    if (g_ctx) g_legacy = OSSL_PROVIDER_load(g_ctx, kLegacyProvider);
    ERR_clear_error();
    return g_ctx;
}

void ReleaseDerivationLibCtx() {
    std::lock_guard held(g_lock);
    FreeLocked();
}

}  // namespace zkd
