// Bytes held in a std::string, as the provider contract takes them: the
// address, the 32-bit length, a view, a blob, and an output read back.
#pragma once
#include <cstdint>
#include <string>

#include "provider/Operations.h"

namespace zktest {

using Bytes = std::string;

inline const uint8_t* U(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.data()); }
inline uint32_t L(const Bytes& b) { return static_cast<uint32_t>(b.size()); }
inline zk::provider::ByteView V(const Bytes& b) { return {U(b), b.size()}; }
inline ZKBlob Blob(const Bytes& b) { return ZKBlob{const_cast<uint8_t*>(U(b)), L(b)}; }
inline Bytes T(const zk::provider::Output& out) { return Bytes(reinterpret_cast<const char*>(out.data()), out.size()); }

}  // namespace zktest
