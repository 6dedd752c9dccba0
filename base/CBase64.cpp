#include "base/CBase64.h"

#include "base/Base64Blocks.h"

#include <cstring>

#include "platform/SecureWipe.h"

namespace zk {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kChunk = 4096;

// 6-bit value of an alphabet character, or -1.
int AlphabetValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Value of the character at position pos (0..3) of a group. A byte with the
// high bit set counts as its low seven bits when those are an alphabet
// character or "="; "=" counts 0 in the third and fourth place and 63
// elsewhere; anything else counts 62.
int GroupValue(unsigned char c, size_t pos) {
    unsigned char low = c & 0x80 ? c & 0x7F : c;
    int v = AlphabetValue(low);
    if (v >= 0) return v;
    if (low == '=') return pos >= 2 ? 0 : 63;
    return 62;
}

bool IsSkipped(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 7 && u <= 13) || u == 32;
}

// GroupValue for every byte, for the first two and the last two places of a
// group (they differ only for "="), with kSkippedFlag added for the skipped
// bytes: documents are large, so the decoder looks values up instead of
// working them out.
constexpr uint8_t kSkippedFlag = 0x80;
struct DecodeTables {
    uint8_t front[256], back[256];
    DecodeTables() {
        for (int c = 0; c < 256; ++c) {
            const uint8_t flag = IsSkipped(static_cast<char>(c)) ? kSkippedFlag : 0;
            front[c] = static_cast<uint8_t>(GroupValue(static_cast<unsigned char>(c), 0) | flag);
            back[c] = static_cast<uint8_t>(GroupValue(static_cast<unsigned char>(c), 2) | flag);
        }
    }
};
const DecodeTables& Tables() {
    static const DecodeTables tables;
    return tables;
}

void EncodeGroupTo(const uint8_t* g, char* out) {
    out[0] = kAlphabet[g[0] >> 2];
    out[1] = kAlphabet[((g[0] & 0x03) << 4) | (g[1] >> 4)];
    out[2] = kAlphabet[((g[1] & 0x0F) << 2) | (g[2] >> 6)];
    out[3] = kAlphabet[g[2] & 0x3F];
}

void EncodeLastTo(const uint8_t* group, size_t count, char* out) {
    uint8_t g[3] = {0, 0, 0};
    std::memcpy(g, group, count);
    EncodeGroupTo(g, out);
    out[3] = '=';
    if (count == 1) out[2] = '=';
}

void DecodeGroupTo(const char* group, uint8_t* out) {
    const auto* g = reinterpret_cast<const unsigned char*>(group);
    const DecodeTables& t = Tables();
    const unsigned v[4] = {t.front[g[0]] & 0x3Fu, t.front[g[1]] & 0x3Fu, t.back[g[2]] & 0x3Fu, t.back[g[3]] & 0x3Fu};
    out[0] = static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4));
    out[1] = static_cast<uint8_t>(((v[1] & 0x0F) << 4) | (v[2] >> 2));
    out[2] = static_cast<uint8_t>(((v[2] & 0x03) << 6) | v[3]);
}

// Missing characters count as "A" (zero bits); the group adds as many bytes
// as it has characters.
size_t DecodeLastTo(const char* group, size_t count, uint8_t* out) {
    char g[4] = {'A', 'A', 'A', 'A'};
    std::memcpy(g, group, count);
    uint8_t bytes[3];
    DecodeGroupTo(g, bytes);
    for (size_t i = 0; i < count; ++i) out[i] = i < 3 ? bytes[i] : 0;
    return count;
}

void EncodeTo(const uint8_t* data, size_t len, char* out) {
    size_t full = len / 3;
    for (size_t i = 0; i < full; ++i) EncodeGroupTo(data + 3 * i, out + 4 * i);
    if (len % 3) EncodeLastTo(data + 3 * full, len % 3, out + 4 * full);
}

}  // namespace

CBase64::~CBase64() {
    SecureWipe(encoded_.data(), encoded_.size());
    SecureWipe(decoded_.data(), decoded_.size());
}

void CBase64::Grow(std::vector<uint8_t>& buf, size_t needed) {
    const size_t size = (needed / kChunk + 1) * kChunk;
    SecureWipe(buf.data(), buf.size());
    if (buf.size() < size) {
        std::vector<uint8_t> fresh(size, 0);
        buf.swap(fresh);
    } else {
        std::memset(buf.data(), 0, buf.size());
    }
}

void CBase64::PrepareEncoded(size_t needed) {
    Grow(encoded_, needed);
    encodedLen_ = 0;
}

void CBase64::PrepareDecoded(size_t needed) {
    Grow(decoded_, needed);
    decodedLen_ = 0;
}

void CBase64::EncodeBytes(const uint8_t* data, size_t len) {
    const size_t outLen = (len + 2) / 3 * 4;
    PrepareEncoded(outLen);
    EncodeTo(data, len, reinterpret_cast<char*>(encoded_.data()));
    encodedLen_ = outLen;
}

void CBase64::EncodeText(const char* text) { EncodeBytes(reinterpret_cast<const uint8_t*>(text), text ? std::strlen(text) : 0); }

void CBase64::DecodeBytes(const char* text, size_t len) {
    PrepareDecoded(Base64DecodedBound(len));
    decodedLen_ = Base64DecodeTo(text, len, decoded_.data());
}

void CBase64::DecodeText(const char* text) { DecodeBytes(text, text ? std::strlen(text) : 0); }

const uint8_t* CBase64::GetDecoded(size_t* len) const {
    if (len) *len = decodedLen_;
    return decoded_.empty() ? reinterpret_cast<const uint8_t*>("") : decoded_.data();
}

const char* CBase64::GetEncoded(size_t* len) const {
    if (len) *len = encodedLen_;
    return encoded_.empty() ? "" : reinterpret_cast<const char*>(encoded_.data());
}

std::string Base64Encode(const void* data, size_t len) {
    std::string out;
    Base64EncodeAppend(data, len, out);
    return out;
}

void Base64EncodeAppend(const void* data, size_t len, std::string& out) {
    size_t at = out.size();
    out.resize(at + (len + 2) / 3 * 4);
    EncodeTo(static_cast<const uint8_t*>(data), len, out.data() + at);
}

void Base64EncodeTo(const void* data, size_t len, char* out) { EncodeTo(static_cast<const uint8_t*>(data), len, out); }

// Whitespace is dropped as it comes, then groups of four map through the
// tables; the length loses one byte for each "=" among the last two
// characters kept. Output never overtakes input, so out may be the text's
// own bytes.
void Base64Decoder::Feed(const char* text, size_t len, uint8_t* out) {
    const auto* u = reinterpret_cast<const unsigned char*>(text);
    const uint8_t* front = Tables().front;
    const uint8_t* back = Tables().back;
    size_t written = written_;
    for (size_t i = 0; i < len; ++i) {
        if (have_ == 0) {  // long runs of strict characters, a block at a time
            const size_t n = DecodeStrictBlocks(u + i, len - i, out + written, lastTwo_);
            i += n;
            written += n / 4 * 3;
            kept_ += n;
        }
        // Whole groups without skipped characters are decoded where they stand.
        for (; have_ == 0 && i + 4 <= len; i += 4, written += 3, kept_ += 4) {
            const unsigned a = front[u[i]], b = front[u[i + 1]], c = back[u[i + 2]], d = back[u[i + 3]];
            if ((a | b | c | d) & kSkippedFlag) break;
            lastTwo_[0] = text[i + 2];  // before the output may cover them
            lastTwo_[1] = text[i + 3];
            const uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
            out[written] = static_cast<uint8_t>(v >> 16);
            out[written + 1] = static_cast<uint8_t>(v >> 8);
            out[written + 2] = static_cast<uint8_t>(v);
        }
        if (i >= len) break;
        char c = text[i];
        if (front[u[i]] & kSkippedFlag) continue;
        lastTwo_[0] = lastTwo_[1];
        lastTwo_[1] = c;
        ++kept_;
        group_[have_++] = c;
        if (have_ == 4) {
            DecodeGroupTo(group_, out + written);
            written += 3;
            have_ = 0;
        }
    }
    written_ = written;
}

size_t Base64Decoder::Finish(uint8_t* out) {
    if (have_) written_ += DecodeLastTo(group_, have_, out + written_);
    have_ = 0;
    // One byte less for each "=" among the last two characters.
    for (size_t i = kept_ >= 2 ? 0 : 2 - kept_; i < 2; ++i)
        if (lastTwo_[i] == '=' && written_ > 0) --written_;
    kept_ = 0;
    return written_;
}

Base64Decoder::~Base64Decoder() { SecureWipe(group_, sizeof group_); }

size_t Base64DecodeTo(const char* text, size_t len, uint8_t* out) {
    Base64Decoder decoder;
    decoder.Feed(text, len, out);
    return decoder.Finish(out);
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
    std::vector<uint8_t> out(Base64DecodedBound(text.size()));
    out.resize(Base64DecodeTo(text.data(), text.size(), out.data()));
    return out;
}

std::string Base64DecodeToString(std::string_view text) {
    std::string out(Base64DecodedBound(text.size()), '\0');
    out.resize(Base64DecodeTo(text.data(), text.size(), reinterpret_cast<uint8_t*>(out.data())));
    return out;
}

void Base64DecodeInPlace(std::string& text) {
    text.resize(Base64DecodeTo(text.data(), text.size(), reinterpret_cast<uint8_t*>(text.data())));
}

}  // namespace zk
