// Base64 decoding of arbitrary text never fails or overruns, and encoding
// then decoding gives the bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/CBase64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zk::CBase64 codec;
    codec.DecodeBytes(reinterpret_cast<const char*>(data), size);
    size_t decodedLen = 0;
    codec.GetDecoded(&decodedLen);
    if (decodedLen > size) abort();

    std::string text = zk::Base64Encode(data, size);
    std::vector<uint8_t> back = zk::Base64Decode(text);
    if (back.size() != size || (size && std::memcmp(back.data(), data, size) != 0)) abort();
    return 0;
}
