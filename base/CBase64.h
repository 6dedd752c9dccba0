// Base64 codec of the transport encodings and the commands: standard alphabet,
// "=" padding, no line breaks on output. Decoding is deliberately lax, as
// pages rely on it: whitespace is skipped and no character is ever rejected.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zk {

class CBase64 {
public:
    CBase64() = default;
    CBase64(const CBase64&) = delete;
    CBase64& operator=(const CBase64&) = delete;
    virtual ~CBase64();  // wipes both buffers: they may hold passwords and keys

    virtual void EncodeText(const char* text);
    virtual void EncodeBytes(const uint8_t* data, size_t len);
    virtual void DecodeText(const char* text);
    virtual void DecodeBytes(const char* text, size_t len);
    // The last result; valid until the next call.
    virtual const uint8_t* GetDecoded(size_t* len) const;
    virtual const char* GetEncoded(size_t* len) const;

protected:
    virtual void PrepareEncoded(size_t needed);
    virtual void PrepareDecoded(size_t needed);
    virtual size_t FilterInput(const char* text, size_t len);  // into input_, returns its length
    virtual void StoreInput(const char* text, size_t len);
    virtual void EncodeLast(const uint8_t* group, size_t count, char* out);
    virtual size_t DecodeLast(const char* group, size_t count, uint8_t* out);
    virtual void EncodeGroup(const uint8_t* group, char* out);
    virtual void DecodeGroup(const char* group, uint8_t* out);
    virtual bool IsIgnored(char c) const;

private:
    static void Grow(std::vector<uint8_t>& buf, size_t needed);
    std::vector<uint8_t> encoded_, decoded_, input_;
    size_t encodedLen_ = 0, decodedLen_ = 0;
};

// Convenience forms used across the system, with the codec's rules; they
// neither copy their input nor keep buffers of their own.
std::string Base64Encode(const void* data, size_t len);
inline std::string Base64Encode(std::string_view bytes) { return Base64Encode(bytes.data(), bytes.size()); }
// Appends the Base64 text of data to out.
void Base64EncodeAppend(const void* data, size_t len, std::string& out);
std::vector<uint8_t> Base64Decode(std::string_view text);
std::string Base64DecodeToString(std::string_view text);
// Decodes text over itself.
void Base64DecodeInPlace(std::string& text);

}  // namespace zk
