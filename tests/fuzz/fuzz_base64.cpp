// Base64 decoding of arbitrary text never fails or overruns, the codec and
// the one-pass functions agree, and encoding then decoding gives the bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/CBase64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zk::CBase64 codec;
    codec.DecodeBytes(reinterpret_cast<const char*>(data), size);
    size_t decodedLen = 0;
    const uint8_t* decoded = codec.GetDecoded(&decodedLen);
    if (decodedLen > size) abort();
    // The one-pass free function follows the same lax rules as the codec.
    std::vector<uint8_t> fast = zk::Base64Decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (fast.size() != decodedLen || (decodedLen && std::memcmp(fast.data(), decoded, decodedLen) != 0)) abort();

    std::string text = zk::Base64Encode(data, size);
    codec.EncodeBytes(data, size);
    size_t encodedLen = 0;
    const char* encoded = codec.GetEncoded(&encodedLen);
    if (std::string_view(encoded, encodedLen) != text) abort();
    std::vector<uint8_t> back = zk::Base64Decode(text);
    if (back.size() != size || (size && std::memcmp(back.data(), data, size) != 0)) abort();
    return 0;
}
