#include "zelkord/Pkcs11.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <strings.h>

#include "platform/Profile.h"
#include "zelkord/Context.h"
#include "zelkord/Errors.h"

namespace zkd {
namespace {

struct Registry {
    std::mutex lock;
    std::string paramsPath;
    bool loaded = false;
    std::vector<TokenProvider> providers;
};

Registry& Providers() {
    static Registry* registry = new Registry;  // outlives every connection: never destroyed
    return *registry;
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kTokenProviderNameMax) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
    return true;
}

std::string Resolve(const std::string& paramsPath, const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    size_t slash = paramsPath.rfind('/');
    return slash == std::string::npos ? path : paramsPath.substr(0, slash + 1) + path;
}

// Loads and initialises one module file; nullptr with the reason in why.
std::shared_ptr<Pkcs11Module> LoadModule(const std::string& path, std::string& why) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "no such file";
        return nullptr;
    }
    // Kept mapped after the last use: a module may leave thread-local data or
    // exit handlers behind that must not outlive its code.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!library) {
        const char* e = dlerror();
        why = e ? e : "cannot be loaded";
        return nullptr;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* functions = nullptr;
    if (!getList || getList(&functions) != CKR_OK || !functions) {
        dlclose(library);
        why = "no PKCS#11 function list";
        return nullptr;
    }
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;  // the service calls it from several threads
    CK_RV rv = functions->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        dlclose(library);
        why = "C_Initialize: " + RvName(rv);
        return nullptr;
    }
    return std::make_shared<Pkcs11Module>(path, library, functions, rv == CKR_OK);
}

void LoadAll(Registry& r) {
    r.loaded = true;
    r.providers.clear();
    if (r.paramsPath.empty()) return;
    std::vector<std::pair<std::string, std::shared_ptr<Pkcs11Module>>> byFile;  // one instance per module file
    for (const auto& [name, value] : zk::Profile::GetSection(r.paramsPath, "Dongles")) {
        if (!ValidName(name)) {
            ZKD_LOG("Token provider name '" + name + "' skipped: 1 to 7 letters, digits, '_' or '-'");
            continue;
        }
        bool duplicate = false;
        for (const TokenProvider& p : r.providers) duplicate = duplicate || strcasecmp(p.name.c_str(), name.c_str()) == 0;
        if (duplicate) {
            ZKD_LOG("Token provider '" + name + "' named twice: the first line holds");
            continue;
        }
        std::string path = Resolve(r.paramsPath, value);
        char real[PATH_MAX];
        if (realpath(path.c_str(), real)) path = real;
        std::shared_ptr<Pkcs11Module> module;
        for (const auto& [file, loaded] : byFile)
            if (file == path) module = loaded;
        if (!module) {
            std::string why;
            module = LoadModule(path, why);
            if (!module) {
                ZKD_LOG("Token provider '" + name + "' skipped: module '" + path + "': " + why);
                continue;
            }
            byFile.emplace_back(path, module);
        }
        ZKD_LOG("Token provider '" + name + "': module '" + path + "'");
        r.providers.push_back({name, module});
    }
}

}  // namespace

Pkcs11Module::Pkcs11Module(std::string path, void* library, CK_FUNCTION_LIST* functions, bool finalize)
    : path_(std::move(path)), library_(library), functions_(functions), finalize_(finalize) {}

Pkcs11Module::~Pkcs11Module() {
    if (finalize_) functions_->C_Finalize(nullptr);
    dlclose(library_);
}

int ConfigureTokenProviders(const std::string& paramsPath) {
    Registry& r = Providers();
    std::lock_guard<std::mutex> hold(r.lock);
    r.paramsPath = paramsPath;
    r.loaded = false;
    r.providers.clear();
    int count = 0;
    for (const auto& entry : zk::Profile::GetSection(paramsPath, "Dongles"))
        if (ValidName(entry.first)) ++count;
    return count;
}

void ReleaseTokenProviders() {
    Registry& r = Providers();
    std::lock_guard<std::mutex> hold(r.lock);
    r.providers.clear();
    r.loaded = false;
    r.paramsPath.clear();
}

std::vector<TokenProvider> TokenProviders() {
    Registry& r = Providers();
    std::lock_guard<std::mutex> hold(r.lock);
    if (!r.loaded) LoadAll(r);
    return r.providers;
}

std::shared_ptr<Pkcs11Module> FindTokenProvider(const char* name) {
    if (name && *name)
        for (const TokenProvider& p : TokenProviders())
            if (strcasecmp(p.name.c_str(), name) == 0) return p.module;
    Fail(ZK_E_DONGLE, std::string("no hardware token provider named '") + (name ? name : "") + "'");
    return nullptr;
}

std::string RvName(CK_RV rv) {
    switch (rv) {
#define ZKD_RV(name) \
    case name: return #name;
        ZKD_RV(CKR_OK) ZKD_RV(CKR_CANCEL) ZKD_RV(CKR_HOST_MEMORY) ZKD_RV(CKR_SLOT_ID_INVALID)
        ZKD_RV(CKR_GENERAL_ERROR) ZKD_RV(CKR_FUNCTION_FAILED) ZKD_RV(CKR_ARGUMENTS_BAD) ZKD_RV(CKR_CANT_LOCK)
        ZKD_RV(CKR_ATTRIBUTE_READ_ONLY) ZKD_RV(CKR_ATTRIBUTE_SENSITIVE) ZKD_RV(CKR_ATTRIBUTE_TYPE_INVALID)
        ZKD_RV(CKR_ATTRIBUTE_VALUE_INVALID) ZKD_RV(CKR_DATA_INVALID) ZKD_RV(CKR_DATA_LEN_RANGE)
        ZKD_RV(CKR_DEVICE_ERROR) ZKD_RV(CKR_DEVICE_MEMORY) ZKD_RV(CKR_DEVICE_REMOVED)
        ZKD_RV(CKR_ENCRYPTED_DATA_INVALID) ZKD_RV(CKR_ENCRYPTED_DATA_LEN_RANGE) ZKD_RV(CKR_FUNCTION_CANCELED)
        ZKD_RV(CKR_FUNCTION_NOT_SUPPORTED) ZKD_RV(CKR_KEY_HANDLE_INVALID) ZKD_RV(CKR_KEY_SIZE_RANGE)
        ZKD_RV(CKR_KEY_TYPE_INCONSISTENT) ZKD_RV(CKR_KEY_FUNCTION_NOT_PERMITTED) ZKD_RV(CKR_MECHANISM_INVALID)
        ZKD_RV(CKR_MECHANISM_PARAM_INVALID) ZKD_RV(CKR_OBJECT_HANDLE_INVALID) ZKD_RV(CKR_OPERATION_ACTIVE)
        ZKD_RV(CKR_OPERATION_NOT_INITIALIZED) ZKD_RV(CKR_PIN_INCORRECT) ZKD_RV(CKR_PIN_INVALID)
        ZKD_RV(CKR_PIN_LEN_RANGE) ZKD_RV(CKR_PIN_EXPIRED) ZKD_RV(CKR_PIN_LOCKED) ZKD_RV(CKR_SESSION_CLOSED)
        ZKD_RV(CKR_SESSION_COUNT) ZKD_RV(CKR_SESSION_HANDLE_INVALID) ZKD_RV(CKR_SESSION_READ_ONLY)
        ZKD_RV(CKR_SESSION_EXISTS) ZKD_RV(CKR_SIGNATURE_INVALID) ZKD_RV(CKR_TEMPLATE_INCOMPLETE)
        ZKD_RV(CKR_TEMPLATE_INCONSISTENT) ZKD_RV(CKR_TOKEN_NOT_PRESENT) ZKD_RV(CKR_TOKEN_NOT_RECOGNIZED)
        ZKD_RV(CKR_TOKEN_WRITE_PROTECTED) ZKD_RV(CKR_USER_ALREADY_LOGGED_IN) ZKD_RV(CKR_USER_NOT_LOGGED_IN)
        ZKD_RV(CKR_USER_PIN_NOT_INITIALIZED) ZKD_RV(CKR_USER_TYPE_INVALID)
        ZKD_RV(CKR_USER_ANOTHER_ALREADY_LOGGED_IN) ZKD_RV(CKR_BUFFER_TOO_SMALL)
        ZKD_RV(CKR_CRYPTOKI_NOT_INITIALIZED) ZKD_RV(CKR_CRYPTOKI_ALREADY_INITIALIZED)
#undef ZKD_RV
    }
    char text[32];
    snprintf(text, sizeof text, "CKR 0x%lX", static_cast<unsigned long>(rv));
    return text;
}

int TokenFail(CK_RV rv, const char* call) {
    const bool pinRefused = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
    return Fail(pinRefused ? ZK_E_SIGN_OR_PASSWORD : ZK_E_DONGLE, std::string(call) + ": " + RvName(rv));
}

int TokenFailNewPin(CK_RV rv, const char* call) {
    if (rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE)
        return Fail(ZK_E_DONGLE, std::string(call) + ": the token does not accept the new PIN (" + RvName(rv) + ")");
    return TokenFail(rv, call);
}

std::string TrimBlanks(const unsigned char* text, size_t size) {
    size_t n = size;
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
    return std::string(reinterpret_cast<const char*>(text), n);
}

}  // namespace zkd
