// Container parsing in the provider: the input as a container given to every
// operation that reads one (description, verification, removal, content off
// and on, merging with itself, the signer's certificate), through the façade
// as the commands call it. Nothing may crash or read out of bounds, whatever
// the bytes. The provider library is the one built beside this fuzzer.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ModulePath.h"
#include "provider/Operations.h"
#include "provider/Provider.h"

#include <sanitizer/lsan_interface.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char folder[] = "/tmp/zk-fuzz-ctx-XXXXXX";
    if (!mkdtemp(folder)) abort();
    const std::string ini = std::string(folder) + "/ZelkorH.ini";
    std::ofstream(ini) << "[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n";
    zk::SetModulePathForTesting(std::string(folder) + "/ZelkorH");
    std::string error;
    zk::provider::LoadOptions options;
    options.libraryName = ZK_PROVIDER_PATH;
    options.paramsPath = ini;
    // The crypto library table keeps its texts at unaligned offsets (the
    // contract's packed layout), where the leak checker does not look for
    // pointers: what loading allocates stays for the whole run anyway.
    __lsan_disable();
    const int loaded = zk::provider::LoadProvider(error, options);
    __lsan_enable();
    if (loaded != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zk::provider;
    const ByteView container(data, size);
    static const uint8_t kContent[] = "content";
    const ByteView content(kContent, sizeof kContent - 1);
    const Site quiet{};

    ContainerDescription one;
    CtxGetContainerInfo(quiet, container, 0, one);
    CtxGetContainerInfo(quiet, container, 1, one);
    ContainerDescriptions all;
    CtxGetContainerInfos(quiet, container, all);
    std::vector<int32_t> results;
    CtxVerify(quiet, container, nullptr, results);
    CtxVerify(quiet, container, &content, results);
    std::vector<uint8_t> cert;
    CtxGetSignedDataCertificate(quiet, container, 0, cert);
    Output out;
    CtxRemoveSignature(quiet, container, 0, 0, out);
    CtxRemoveContent(quiet, container, out);
    CtxAddContent(quiet, container, content, out);
    const ByteView twice[] = {container, container};
    CtxMergeSignedData(quiet, true, twice, out);
    CtxMergeSignedData(quiet, false, twice, out);
    return 0;
}
