// The shapes the provider operations share: size checks against the
// contract's 32-bit lengths, the key pair, fixed text fields, the logged call
// and the two-call sizing of outputs. For the operation files of this folder
// only; commands call the operations of Operations.h or Invoke.h.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "provider/Operations.h"
#include "provider/Provider.h"

namespace zk::provider::calls {

inline bool Fits(ByteView bytes) { return bytes.size() <= std::numeric_limits<uint32_t>::max(); }
inline uint32_t Len(ByteView bytes) { return static_cast<uint32_t>(bytes.size()); }

// A size of the contract's 32-bit lengths, capped.
inline uint32_t Len32(size_t n) {
    return static_cast<uint32_t>(std::min<size_t>(n, std::numeric_limits<uint32_t>::max()));
}

// The key pair of the contract: bytes and length, or no bytes and the token key.
inline const uint8_t* KeyData(const KeyRef& key) { return key.token ? nullptr : key.bytes.data(); }
inline ZKKeyLen KeyLength(const KeyRef& key) {
    return key.token ? key.token : static_cast<ZKKeyLen>(key.bytes.size());
}

inline std::string Text(const char* fixed, size_t size) { return std::string(fixed, strnlen(fixed, size)); }

// The "Before"/"After" lines around the call (and its size checks); the
// site may name the operation as its command knows it.
template <typename Body>
int Logged(const Site& site, const char* operation, Body&& body) {
    if (site.operation) operation = site.operation;
    detail::LogBefore(site, operation);
    const int code = body();
    detail::LogAfter(site, operation, code);
    return code;
}

// Two-call output: call(nullptr, &len) learns the size, call(buffer, &len)
// fills a buffer of that size and reports what it wrote.
template <typename Call>
int TwoCalls(Output& out, bool secret, Call&& call) {
    out.Release();
    uint32_t size = 0;
    int code = call(static_cast<uint8_t*>(nullptr), &size);
    if (code != 0) return code;
    uint8_t* buffer = out.Allocate(size, secret);
    uint32_t written = size;
    code = call(buffer, &written);
    if (code != 0) {
        out.Release();
        return code;
    }
    out.SetSize(std::min(written, size));
    return code;
}

// (address, length) pairs of the contract over the caller's items; false
// when one is too large or there are too many.
inline bool Pairs(std::span<const ByteView> items, std::vector<ZKBlob>& pairs) {
    if (items.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
    pairs.clear();
    for (ByteView item : items) {
        if (!Fits(item)) return false;
        pairs.push_back(ZKBlob{const_cast<uint8_t*>(item.data()), Len(item)});
    }
    return true;
}

// Two calls with three outputs: call(key, keyLen, request1, len1, request2, len2).
template <typename Calls>
int RequestCalls(CertRequestOutputs& out, Calls&& call) {
    uint32_t keyLen = 0, len1 = 0, len2 = 0;
    int code = call(nullptr, &keyLen, nullptr, &len1, nullptr, &len2);
    if (code != 0) return code;
    uint8_t* key = out.keyContainer.Allocate(keyLen, true);
    uint8_t* r1 = out.request1.Allocate(len1, false);
    uint8_t* r2 = out.request2.Allocate(len2, false);
    code = call(key, &keyLen, r1, &len1, r2, &len2);
    if (code != 0) {
        out.keyContainer.Release();
        out.request1.Release();
        out.request2.Release();
        return code;
    }
    out.keyContainer.SetSize(keyLen);
    out.request1.SetSize(len1);
    out.request2.SetSize(len2);
    return code;
}

}  // namespace zk::provider::calls
