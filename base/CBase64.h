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

// The codec as an object that keeps its last result: a thin shell over the
// one-pass functions below (one set of rules, one decoding table).
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
    // Each buffer grows to the next multiple of 4096 bytes above the size
    // needed and is zero-filled before use.
    virtual void PrepareEncoded(size_t needed);
    virtual void PrepareDecoded(size_t needed);

private:
    static void Grow(std::vector<uint8_t>& buf, size_t needed);
    std::vector<uint8_t> encoded_, decoded_;
    size_t encodedLen_ = 0, decodedLen_ = 0;
};

// The one-pass functions: they neither copy their input nor keep buffers of
// their own (a document may be large).
std::string Base64Encode(const void* data, size_t len);
inline std::string Base64Encode(std::string_view bytes) { return Base64Encode(bytes.data(), bytes.size()); }
// Appends the Base64 text of data to out.
void Base64EncodeAppend(const void* data, size_t len, std::string& out);
// Writes the Base64 text of data, Base64EncodedLength(len) characters, to out.
void Base64EncodeTo(const void* data, size_t len, char* out);
constexpr size_t Base64EncodedLength(size_t len) { return (len + 2) / 3 * 4; }
std::vector<uint8_t> Base64Decode(std::string_view text);
// Decodes into out, which has room for Base64DecodedBound(len) bytes; out may
// be text's own bytes (the output never overtakes the input). Returns the length.
size_t Base64DecodeTo(const char* text, size_t len, uint8_t* out);
constexpr size_t Base64DecodedBound(size_t textLen) { return textLen / 4 * 3 + 3; }
std::string Base64DecodeToString(std::string_view text);

// The same decoding over text that comes in pieces: Feed each piece, then
// Finish; the result is what Base64DecodeTo gives for the pieces joined.
// Decoded bytes go to out + Written(): out may be the start of the memory the
// pieces lie in, as long as no piece lies before what was written.
class Base64Decoder {
public:
    Base64Decoder() = default;
    Base64Decoder(const Base64Decoder&) = delete;
    Base64Decoder& operator=(const Base64Decoder&) = delete;
    ~Base64Decoder();
    void Feed(const char* text, size_t len, uint8_t* out);
    // Decodes what is left of the last group; returns the decoded length.
    size_t Finish(uint8_t* out);
    size_t Written() const { return written_; }
    // The next bytes go to out + written (the caller has moved what was
    // written before it).
    void SetWritten(size_t written) { written_ = written; }

private:
    char group_[4] = {};
    size_t have_ = 0, written_ = 0, kept_ = 0;
    char lastTwo_[2] = {0, 0};
};
// Decodes text over itself.
void Base64DecodeInPlace(std::string& text);

}  // namespace zk
