// Timestamp responses and tokens as the provider reads them: the input as
// the TimeStampResp (or bare token) of CTX_GET_TIMESTAMP_INFO, which runs the
// reader the timestamp requests use on a service's answer, and as RFC 5544
// timestamped data; and, for a token that does not carry its service's
// certificate, as a certificate file at hand. Nothing may crash or read out
// of bounds, whatever the bytes.
#include <cstdint>

#include "ProviderForFuzzing.h"
#include "provider/Invoke.h"
#include "provider/Operations.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LoadProviderForFuzzing("[CryptoLibs]\nQLB=QLB\n");
    OfferInputAsCertificates();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zk::provider;
    const ByteView input(data, size);
    g_offeredInput = input;
    TimestampOutcome out;
    CtxGetTimestampInfo(Site{}, input, out);
    TimestampInfo info{};
    Invoke<ZK_METHOD(ZKLD_SLOT_TIMESTAMP_READ)>(Site{}, input, &info);
    return 0;
}
