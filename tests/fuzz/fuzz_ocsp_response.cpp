// OCSP responses as the provider reads them: the input as the OCSPResponse
// (or BasicOCSPResponse) of CTX_GET_OCSP_INFO, which runs the reader the
// OCSP requests use on a responder's answer; and, for an answer that does not
// carry its signer's certificate, as a certificate file at hand. Nothing may
// crash or read out of bounds, whatever the bytes.
#include <cstdint>

#include "ProviderForFuzzing.h"
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
    OcspOutcome out;
    CtxGetOCSPResponseInfo(Site{}, input, out);
    return 0;
}
