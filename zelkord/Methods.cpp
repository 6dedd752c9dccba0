#include "zelkord/Methods.h"

#include <cstring>

#include "zelkord/Context.h"
#include "zelkord/CryptoLibs.h"
#include "zelkord/Errors.h"
#include "zelkord/Export.h"

namespace zkd {
namespace {

ZKLDProc* Table() {
    static ZKLDProc table[ZKLD_METHOD_COUNT] = {};
    return table;
}

Context* AsContext(ZKLDContext ctx) { return static_cast<Context*>(ctx); }

int Init(const char* paramsPath, char* message, int32_t messageSize, ZKLDContext* context, CryptoLibInfo* table) {
    if (message && messageSize > 0) message[0] = '\0';
    if (!context || !table) return Fail(1);
    auto* ctx = new Context;
    ctx->paramsPath = paramsPath ? paramsPath : "";
    std::string failed;
    int code = LoadCryptoLibs(*ctx, table, failed);
    if (message && messageSize > 0) {
        std::strncpy(message, failed.c_str(), static_cast<size_t>(messageSize) - 1);
        message[messageSize - 1] = '\0';
    }
    *context = ctx;
    SetCurrentContext(ctx);
    ZKD_LOG("Init: " + std::to_string(ctx->libs.size()) + " crypto libraries, code " + std::to_string(code));
    return code;
}

int End(ZKLDContext ctx) {
    Context* c = AsContext(ctx);
    if (CurrentContext() == c) SetCurrentContext(nullptr);
    delete c;
    return 0;
}

int ThreadAttach(ZKLDContext ctx) {
    if (ctx) AsContext(ctx)->attachedThreads++;
    ClearError();
    return 0;
}

int ThreadDetach(ZKLDContext ctx) {
    if (ctx) AsContext(ctx)->attachedThreads--;
    ClearError();
    SetCurrentLibrary(-1);
    return 0;
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

SlotRegistration::SlotRegistration(int slot, ZKLDProc proc) {
    if (slot >= 0 && slot < ZKLD_METHOD_COUNT) Table()[slot] = proc;
}

ZKD_SLOT(0, Init);
ZKD_SLOT(2, End);
ZKD_SLOT(3, ThreadAttach);
ZKD_SLOT(4, ThreadDetach);
ZKD_SLOT(8, LibLoaded);
ZKD_SLOT(10, LibIdentityByIndex);
ZKD_SLOT(11, LibIdentityByCode);
ZKD_SLOT(12, LibSelect);
ZKD_SLOT(55, SetLog);

}  // namespace zkd

ZKD_EXPORT const ZKLDProc* ZKLD_GetMethods(void) { return zkd::Table(); }
