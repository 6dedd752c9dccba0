// Container parsing in the provider: the input as a container given to every
// operation that reads one (description, verification, removal, content off
// and on, merging with itself, the signer's certificate), through the façade
// as the commands call it. Nothing may crash or read out of bounds, whatever
// the bytes. The provider library is the one built beside this fuzzer.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "provider/Invoke.h"
#include "provider/Operations.h"
#include "ProviderForFuzzing.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nUSC=USC\nQLB=QLB\nUA1=UA1\n");
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
    Invoke<ZK_EXPORT(ZKLCTX_RemoveSignature)>(quiet, container, 0, 0, out);
    Invoke<ZK_EXPORT(ZKLCTX_RemoveContent)>(quiet, container, out);
    Invoke<ZK_EXPORT(ZKLCTX_AddContent)>(quiet, container, content, out);
    const ByteView twice[] = {container, container};
    CtxMergeSignedData(quiet, true, twice, out);
    CtxMergeSignedData(quiet, false, twice, out);
    return 0;
}
