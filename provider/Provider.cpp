#include "provider/Provider.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/KeyCheckBudget.h"
#include "base/Log.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/ModulePath.h"

namespace zk::provider {
namespace {

Binding g_binding;

constexpr size_t kMaxParamsPath = 260;

// Entry texts that the provider allocates through the entry's own functions.
// Fields of the packed entry are named directly: their addresses may be
// misaligned.
#define ZK_ENTRY_TEXTS(X)                                                                                     \
    X(Title) X(Profile) X(ParamsSection) X(CertPath) X(KeyPath) X(Text64) X(Text68) X(Text72) X(Text80)     \
    X(Text84) X(Text92) X(Text96) X(Text100) X(Text108) X(Text112) X(Text120) X(Text124) X(Text128)         \
    X(Text136) X(Text140) X(Text148)

void FreeEntryTexts(CryptoLibInfo& e) {
#define ZK_FREE_TEXT(field)                   \
    if (e.field && e.Free) e.Free(e.field); \
    e.field = nullptr;
    ZK_ENTRY_TEXTS(ZK_FREE_TEXT)
#undef ZK_FREE_TEXT
}

char* DupText(const char* text) { return strdup(text ? text : ""); }

void CreateTable(Binding& b) {
    for (CryptoLibInfo& e : b.table) {
        std::memset(&e, 0, sizeof e);
        e.Alloc = &std::malloc;
        e.Free = &std::free;
        e.StrDup = &DupText;
        e.NeedsSenderCert = 1;
    }
    b.libCount = 0;
    b.tableCreated = true;
}

void DestroyTable(Binding& b) {
    if (!b.tableCreated) return;
    for (CryptoLibInfo& e : b.table) {
        if (e.Module) dlclose(e.Module);
        e.Module = nullptr;
        FreeEntryTexts(e);
    }
    b.libCount = 0;
    b.tableCreated = false;
}

void ReleaseFirstReference(Binding& b) {
    if (b.firstRef) dlclose(b.firstRef);
    b.firstRef = nullptr;
    b.exports = Exports{};  // nothing may be called through a released reference
    b.methodsForLog = nullptr;
}

std::string Cp(const char* utf8) { return Utf8ToCp1251(utf8); }

}  // namespace

const Binding& Get() { return g_binding; }
const Exports& BoundExports() { return g_binding.exports; }
const ZKLDProc* BoundMethods() { return g_binding.methods; }
ZKLDContext BoundContext() { return g_binding.context; }

int CountLoadedLibraries(const CryptoLibInfo* table, int entries) {
    int n = 0;
    while (n < entries && table[n].Code[0] != '\0') ++n;
    return n;
}

std::string LoadCodeText(int code, const std::string& name) {
    switch (code) {
        case ZK_LOAD_LIBRARY: return Cp("Неможливо завантажити бібліотеку '") + name + "'";
        case ZK_LOAD_CERT: return Cp("Неможливо завантажити сертифікат для бібліотеки '") + name + "'";
        case ZK_LOAD_KEY: return Cp("Неможливо завантажити секретний ключ для бібліотеки '") + name + "'";
        case ZK_LOAD_KEY_PASSWORD: return Cp("Не визначений пароль секретного ключа для бібліотеки '") + name + "'";
        case ZK_LOAD_NO_SECTION: return Cp("Не визначено секцію '") + "CryptoLibs" + Cp("' в файлі параметрів");
        case ZK_LOAD_CA_SIGNATURE: return Cp("Некоректна сигнатура сертифікаційного центру '") + name + "'";
        case ZK_LOAD_EXPORTS: return Cp("Бібліотека '") + name + Cp("' не експортує всі необхідні функції згідно специфікації");
        default: return Cp("Код помилки: ") + std::to_string(code);
    }
}

int LoadProvider(std::string& errorText, const LoadOptions& options) {
    Binding& b = g_binding;
    errorText.clear();

    // The copy beside the executable first, by its full path: the same library
    // the executable's RUNPATH ($ORIGIN) names, found even when dlopen is
    // called through an interposer (sanitizer runtimes) whose own search path
    // does not include the program folder.
    std::string library = options.libraryName;
    if (library.find('/') == std::string::npos && files::Exists(ProgramFile(library))) library = ProgramFile(library);
    b.firstRef = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!b.firstRef) {
        errorText = Cp("Помилка завантаження ZelkorD.dll");
        return 1;
    }
#define ZK_BIND(ret, name, seq) b.exports.name = reinterpret_cast<name##_t>(dlsym(b.firstRef, #name));
    ZK_PROVIDER_EXPORTS(ZK_BIND)
#undef ZK_BIND
    // Bound through the second reference below.
    b.exports.ZKLUA1_Decrypt = nullptr;

    std::string params = options.paramsPath.empty() ? ModulePathWithExtension(".ini") : options.paramsPath;
    if (params.size() > kMaxParamsPath) params.resize(kMaxParamsPath);

    // Second stage: the methods table and the crypto library table.
    CreateTable(b);
    b.secondRef = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (b.secondRef) {
        if (auto getMethods = reinterpret_cast<ZKLD_GetMethods_t>(dlsym(b.secondRef, "ZKLD_GetMethods")))
            b.methods = getMethods();
        b.exports.ZKLUA1_Decrypt = reinterpret_cast<ZKLUA1_Decrypt_t>(dlsym(b.secondRef, "ZKLUA1_Decrypt"));
    }
    int code;
    std::string kept;
    auto init = SlotIn<ZKLD_SLOT_INIT>(b.methods);
    if (!init) {
        code = 1;
        kept = "Cannot load ZelkorD";
    } else {
        char message[ZK_INIT_MESSAGE_SIZE] = {};
        code = init(params.c_str(), message, sizeof message, &b.context, b.table);
        message[sizeof message - 1] = '\0';
        kept = message;
        if (code == 1 && kept.empty()) kept = "???";
        b.libCount = CountLoadedLibraries(b.table, ZK_CRYPTO_LIB_COUNT);
    }
    if (code != 0) {
        errorText = LoadCodeText(code, kept);
        ReleaseFirstReference(b);
        return 1;
    }

    int32_t providerNumber = 0;
    int rc = Call<&Exports::ZKLDongles_Init>(&providerNumber);
    if (rc != 0) {
        char text[64];
        snprintf(text, sizeof text, "ZKLDDongles_Init: %d, provider %d", rc, providerNumber);
        errorText = text;
        ReleaseFirstReference(b);
        return 1;
    }
    if (b.exports.ZKLD_GetMethods) b.methodsForLog = b.exports.ZKLD_GetMethods();
    HandLogCallback(&log::ProviderLogCallback);  // its lines are written while the log is open
    Call<&Exports::ZKLSVC_SetGiveUpCheck>(&ProviderGiveUpCheck);  // long work stops when its request is given up
    Call<&Exports::ZKLLIB_Init>();
    return 0;
}

void UnloadProvider() {
    Binding& b = g_binding;
    Call<&Exports::ZKLLIB_Term>();
    DestroyTable(b);
    if (auto end = SlotIn<ZKLD_SLOT_END>(b.methods)) end(b.context);
    if (b.secondRef) dlclose(b.secondRef);
    b.secondRef = nullptr;
    b.methods = nullptr;
    b.context = nullptr;
    b.exports.ZKLUA1_Decrypt = nullptr;
    ReleaseFirstReference(b);
}

void ProviderThreadAttach() {
    if (auto f = Slot<ZKLD_SLOT_THREAD_ATTACH>()) f(g_binding.context);
}

void ProviderThreadDetach() {
    if (auto f = Slot<ZKLD_SLOT_THREAD_DETACH>()) f(g_binding.context);
}

void HandLogCallback(ZKLogCallback callback) {
    if (auto hand = SlotIn<ZKLD_SLOT_SET_LOG_CALLBACK>(g_binding.methodsForLog)) hand(callback);
}

}  // namespace zk::provider
