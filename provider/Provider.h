// Binding of the crypto provider library: loading, the bound exports, the
// methods table, the crypto library table and the worker-thread hooks.
//
// Callers never call an absent export or an empty methods-table slot: Call()
// and CallSlot() answer kMissingOperation instead (code 2 of the shared table,
// "the provider does not support it"), which is also what a command gets when
// the provider failed to load.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "provider/ZelkorD.h"

namespace zk::provider {

constexpr int kMissingOperation = 2;

// Every export, in binding order.
#define ZK_PROVIDER_EXPORTS(X)                                                                                  \
    X(ZKLCTX_CreateContainer) X(ZKLCTX_CreateContainerExt) X(ZKLCTX_AddSignature) X(ZKLCTX_AddSignatureExt)    \
    X(ZKLCTX_RequestTimestamp) X(ZKLCTX_AddTimestamp) X(ZKLCTX_GetTimestampInfo) X(ZKLCTX_RemoveSignature)    \
    X(ZKLCTX_RequestOCSP) X(ZKLCTX_GetOCSPResponseInfo) X(ZKLCTX_RequestCMP) X(ZKLCTX_SetCompleteInfo)        \
    X(ZKLCTX_GetContainerInfo) X(ZKLCTX_GetContainerInfos) X(ZKLCTX_MergeSignedData) X(ZKLCTX_Verify)          \
    X(ZKLCTX_VerifyExternal) X(ZKLCTX_RemoveContent) X(ZKLCTX_AddContent) X(ZKLCTX_CheckKeyPair)              \
    X(ZKLCTX_ChangeKeyPassword) X(ZKLCTX_EncryptDataForRecipients) X(ZKLCTX_DecryptData)                      \
    X(ZKLCTX_GetEnvelopeType) X(ZKLCTX_GetOriginatorCertificate) X(ZKLCTX_EnumerateRecipients)                \
    X(ZKLCTX_GetCertInfo) X(ZKLCTX_CheckSignatureCertificate) X(ZKLCTX_GetSignedDataCertificate)              \
    X(ZKLCTX_GetSubjectKeyIdentifier) X(ZKLCTX_CreateSimpleCertRequest) X(ZKLCTX_GetCertsFromPBContainer)     \
    X(ZKLCTX_GetKeysFromPBContainer) X(ZKLCTX_GetRandomBlock) X(ZKLCTX_HashData) X(ZKLCTX_HashDataAlg)        \
    X(ZKLDongles_Init) X(ZKLDongles_EnumTokens) X(ZKLDongles_ConnectKey) X(ZKLDongles_DisconnectKey)          \
    X(ZKLDongles_EnumTokenKeys) X(ZKLDongles_InitSlot) X(ZKLDongles_ChangePassword)                           \
    X(ZKLDongles_ChangeNamedKeyPassword) X(ZKLDongles_UnlockPin) X(ZKLDongles_SetKeyLabel)                    \
    X(ZKLDongles_DeleteKey) X(ZKLDongles_EnumFiles) X(ZKLDongles_GetFile) X(ZKLDongles_SetFile)               \
    X(ZKLDongles_ConnectNamedKey) X(ZKLDongles_ConnectNamedKey2) X(ZKLDongles_EnumNamedKeys)                  \
    X(ZKLDongles_TokenOID) X(ZKLDongles_CreateSimpleCertRequest) X(ZKLSVC_AcquireKey)                         \
    X(ZKErrors_GetLastCSPError) X(ZKErrors_ResetCSPError) X(ZKErrors_GetLastCSPMessage) X(ZKLLIB_Init)        \
    X(ZKLLIB_Term) X(ZKLD_GetMethods) X(ZKLUA1_Decrypt)

struct Exports {
#define ZK_EXPORT_FIELD(name) name##_t name = nullptr;
    ZK_PROVIDER_EXPORTS(ZK_EXPORT_FIELD)
#undef ZK_EXPORT_FIELD
};

// Function type of each methods-table slot the system calls.
template <int N> struct SlotType;
#define ZK_SLOT_TYPE(n, type) template <> struct SlotType<n> { using type_t = type; };
ZK_SLOT_TYPE(ZKLD_SLOT_INIT, ZKLD_Init_t)
ZK_SLOT_TYPE(ZKLD_SLOT_END, ZKLD_End_t)
ZK_SLOT_TYPE(ZKLD_SLOT_THREAD_ATTACH, ZKLD_ThreadAttach_t)
ZK_SLOT_TYPE(ZKLD_SLOT_THREAD_DETACH, ZKLD_ThreadDetach_t)
ZK_SLOT_TYPE(ZKLD_SLOT_DETECT_BLOCK, ZKLD_DetectBlock_t)
ZK_SLOT_TYPE(ZKLD_SLOT_LIB_LOADED, ZKLD_LibLoaded_t)
ZK_SLOT_TYPE(ZKLD_SLOT_LIB_IDENTITY_BY_INDEX, ZKLD_LibIdentityByIndex_t)
ZK_SLOT_TYPE(ZKLD_SLOT_LIB_IDENTITY_BY_CODE, ZKLD_LibIdentityByCode_t)
ZK_SLOT_TYPE(ZKLD_SLOT_LIB_SELECT, ZKLD_LibSelect_t)
ZK_SLOT_TYPE(ZKLD_SLOT_SIGN, ZKLD_Sign_t)
ZK_SLOT_TYPE(ZKLD_SLOT_REMOVE_SIGNATURE, ZKLD_RemoveSignature_t)
ZK_SLOT_TYPE(ZKLD_SLOT_ENCRYPT, ZKLD_Encrypt_t)
ZK_SLOT_TYPE(ZKLD_SLOT_DECRYPT, ZKLD_Decrypt_t)
ZK_SLOT_TYPE(ZKLD_SLOT_CHECK_KEY_PAIR, ZKLD_CheckKeyPair_t)
ZK_SLOT_TYPE(ZKLD_SLOT_UNWRAP, ZKLD_Unwrap_t)
ZK_SLOT_TYPE(ZKLD_SLOT_HASH, ZKLD_Hash_t)
ZK_SLOT_TYPE(ZKLD_SLOT_TIMESTAMP_READ, ZKLD_TimestampRead_t)
ZK_SLOT_TYPE(ZKLD_SLOT_TIMESTAMP_REMOVE, ZKLD_TimestampRemove_t)
ZK_SLOT_TYPE(ZKLD_SLOT_SYMMETRIC, ZKLD_Symmetric_t)
ZK_SLOT_TYPE(ZKLD_SLOT_CIPHER_CREATE, ZKLD_CipherCreate_t)
ZK_SLOT_TYPE(ZKLD_SLOT_CIPHER_RUN, ZKLD_CipherRun_t)
ZK_SLOT_TYPE(ZKLD_SLOT_CIPHER_FREE, ZKLD_CipherFree_t)
ZK_SLOT_TYPE(ZKLD_SLOT_CHANGE_KEY_PASSWORD, ZKLD_ChangeKeyPassword_t)
ZK_SLOT_TYPE(ZKLD_SLOT_READ_CERT, ZKLD_ReadCert_t)
ZK_SLOT_TYPE(ZKLD_SLOT_ENCRYPT_MANY, ZKLD_EncryptMany_t)
ZK_SLOT_TYPE(ZKLD_SLOT_RECIPIENT_CERTS, ZKLD_RecipientCerts_t)
ZK_SLOT_TYPE(ZKLD_SLOT_SIGN_DETACHED, ZKLD_SignDetached_t)
ZK_SLOT_TYPE(ZKLD_SLOT_VERIFY_DETACHED, ZKLD_VerifyDetached_t)
ZK_SLOT_TYPE(ZKLD_SLOT_RECIPIENT_INFOS, ZKLD_RecipientInfos_t)
ZK_SLOT_TYPE(ZKLD_SLOT_SET_LOG_CALLBACK, ZKLD_SetLogCallback_t)
#undef ZK_SLOT_TYPE

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

// The provider's last error, read safely when the provider is absent.
void ResetLastError();
int LastErrorCode();
std::string LastErrorMessage();

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

// The two-call pattern of variable-size outputs: call(nullptr, &len) learns
// the size, call(buffer, &len) fills a buffer of exactly that size. out holds
// the result (empty on failure); returns the provider's code.
template <typename Fn>
int CallForOutput(std::vector<uint8_t>& out, Fn&& call) {
    uint32_t len = 0;
    out.clear();
    int code = call(static_cast<uint8_t*>(nullptr), &len);
    if (code != 0) return code;
    out.resize(len);
    code = call(out.data(), &len);
    out.resize(code == 0 ? std::min<size_t>(len, out.size()) : 0);
    return code;
}

// A methods-table slot, or nullptr when the table or the slot is absent.
template <int N>
typename SlotType<N>::type_t Slot() {
    const ZKLDProc* m = Get().methods;
    if (!m || !m[N]) return nullptr;
    return reinterpret_cast<typename SlotType<N>::type_t>(m[N]);
}

// Calls a slot that takes the library context first; kMissingOperation when absent.
template <int N, typename... Args>
int CallSlot(Args&&... args) {
    auto fn = Slot<N>();
    if (!fn) return kMissingOperation;
    return fn(Get().context, std::forward<Args>(args)...);
}

}  // namespace zk::provider

namespace zk::provider {

// Library-table queries of slots 8, 10, 11 and 12; without a methods table a
// library is never loaded, an identity or index is -1.
bool IsLibraryLoaded(const char* code);
int SelectLibrary(const char* code);           // index, or -1
int LibraryIdentityByIndex(int libIndex);      // -1 when unknown
int LibraryIdentityByCode(const char* code);   // -1 when unknown

}  // namespace zk::provider
