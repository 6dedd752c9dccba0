// The library context that slot 0 creates: the loaded crypto library
// profiles and the provider-wide state.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/OsslPtr.h"
#include "provider/ZelkorD.h"

namespace zkd {

struct CryptoLib {
    std::string code;        // "USC", "QLB", "UA1"
    std::string section;     // its section in the parameter file
    std::string title;
    bool needsSenderCert = false;
    // The certification centre's certificate (CACert): the trust anchor of
    // this library's signer certificates; none: signatures are judged alone.
    zk::X509Ptr caCert;
};

struct Context {
    std::string paramsPath;
    std::vector<CryptoLib> libs;  // index = crypto library index
    std::atomic<int> attachedThreads{0};

    // Index of the library with this code, or -1.
    int IndexOf(const char* code) const;
};

// The context of the running provider (the last one slot 0 created), or
// nullptr. Operations exported by name reach it through here.
Context* CurrentContext();
void SetCurrentContext(Context* ctx);

// The library made current on this thread by slot 12 (-1 when none).
int CurrentLibrary();
void SetCurrentLibrary(int index);

// Writes a line through the host's log callback, when one was handed over.
void SetLogCallback(ZKLogCallback callback);
void Log(const char* function, const char* file, int line, const std::string& message);

}  // namespace zkd

#define ZKD_LOG(message) ::zkd::Log(__func__, __FILE__, __LINE__, message)
