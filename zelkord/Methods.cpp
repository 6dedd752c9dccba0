// The life of the library context and the crypto library queries (methods-table slots).
#include <cstring>

#include "zelkord/Context.h"
#include "platform/Text.h"
#include "zelkord/CryptoLibs.h"
#include "zelkord/Errors.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

Context* AsContext(ZKLDContext ctx) { return static_cast<Context*>(ctx); }

int Init(const char* paramsPath, char* message, int32_t messageSize, ZKLDContext* context, CryptoLibInfo* table) {
    if (message && messageSize > 0) message[0] = '\0';
    if (!context || !table) return Fail(ZK_LOAD_LIBRARY);
    auto* ctx = new Context;
    ctx->paramsPath = paramsPath ? paramsPath : "";
    std::string failed;
    int code = LoadCryptoLibs(*ctx, table, failed);
    if (message && messageSize > 0) zk::WriteTextField(message, static_cast<size_t>(messageSize), failed);
    *context = ctx;
    SetCurrentContext(ctx);
    ZKD_LOG("Init: " + std::to_string(ctx->libs.size()) + " crypto libraries, code " + std::to_string(code));
    return code;
}

int End(ZKLDContext ctx) {
    Context* c = AsContext(ctx);
    if (CurrentContext() == c) SetCurrentContext(nullptr);
    delete c;
    return ZK_E_OK;
}

int ThreadAttach(ZKLDContext ctx) {
    if (ctx) AsContext(ctx)->attachedThreads++;
    ClearError();
    return ZK_E_OK;
}

int ThreadDetach(ZKLDContext ctx) {
    if (ctx) AsContext(ctx)->attachedThreads--;
    ClearError();
    SetCurrentLibrary(-1);
    return ZK_E_OK;
}

int LibLoaded(ZKLDContext ctx, const char* code) { return ctx && AsContext(ctx)->IndexOf(code) >= 0 ? 1 : 0; }

// Identities are the table indices, so identities by index and by code compare.
int LibIdentityByIndex(ZKLDContext ctx, int32_t index) {
    return ctx && index >= 0 && static_cast<size_t>(index) < AsContext(ctx)->libs.size() ? index : -1;
}

int LibIdentityByCode(ZKLDContext ctx, const char* code) { return ctx ? AsContext(ctx)->IndexOf(code) : -1; }

int LibSelect(ZKLDContext ctx, const char* code) {
    int index = ctx ? AsContext(ctx)->IndexOf(code) : -1;
    if (index >= 0) SetCurrentLibrary(index);
    return index;
}

void SetLog(ZKLogCallback callback) { SetLogCallback(callback); }

}  // namespace

ZKD_SLOT(ZKLD_SLOT_INIT, Init);
ZKD_SLOT(ZKLD_SLOT_END, End);
ZKD_SLOT(ZKLD_SLOT_THREAD_ATTACH, ThreadAttach);
ZKD_SLOT(ZKLD_SLOT_THREAD_DETACH, ThreadDetach);
ZKD_SLOT(ZKLD_SLOT_LIB_LOADED, LibLoaded);
ZKD_SLOT(ZKLD_SLOT_LIB_IDENTITY_BY_INDEX, LibIdentityByIndex);
ZKD_SLOT(ZKLD_SLOT_LIB_IDENTITY_BY_CODE, LibIdentityByCode);
ZKD_SLOT(ZKLD_SLOT_LIB_SELECT, LibSelect);
ZKD_SLOT(ZKLD_SLOT_SET_LOG_CALLBACK, SetLog);

}  // namespace zkd
