// Loads the provider library built beside a fuzzer, once, from a folder of
// its own with the crypto library profiles given (ZelkorH.ini).
#pragma once
#include <cstdlib>
#include <fstream>
#include <string>

#include <sanitizer/lsan_interface.h>
#include <unistd.h>

#include "platform/ModulePath.h"
#include "provider/Operations.h"
#include "provider/Provider.h"

inline void LoadProviderForFuzzing(const char* ini) {
    static char folder[] = "/tmp/zk-fuzz-XXXXXX";
    if (!mkdtemp(folder)) abort();
    const std::string path = std::string(folder) + "/ZelkorH.ini";
    std::ofstream(path) << ini;
    zk::SetModulePathForTesting(std::string(folder) + "/ZelkorH");
    std::string error;
    zk::provider::LoadOptions options;
    options.libraryName = ZK_PROVIDER_PATH;
    options.paramsPath = path;
    // The crypto library table keeps its texts at unaligned offsets (the
    // contract's packed layout), where the leak checker does not look for
    // pointers: what loading allocates stays for the whole run anyway.
    __lsan_disable();
    const int loaded = zk::provider::LoadProvider(error, options);
    __lsan_enable();
    if (loaded != 0) abort();
}

// The input of the current run, offered to the provider's searches for
// certificates at hand (ZKLSVC_SetCertSource): so it is also read as a
// certificate file the host offers.
inline zk::provider::ByteView g_offeredInput;

inline void OfferInput(int32_t, const char*, ZKCertPut put, void* sink) {
    if (!g_offeredInput.empty()) put(sink, g_offeredInput.data(), static_cast<uint32_t>(g_offeredInput.size()));
}

inline void OfferInputAsCertificates() { zk::provider::SetCertSource(&OfferInput); }
