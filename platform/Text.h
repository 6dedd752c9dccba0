// Small text rules used throughout: trimming, ASCII case-insensitive
// comparison, and texts in the fixed-size fields of records.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

namespace zk {

// Leading and trailing characters with code 32 or below removed.
inline std::string TrimBlanks(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
    return std::string(text.substr(b, e - b));
}

inline bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// How a text ends in a fixed-size field: always with a zero byte (cut one
// short of the field), or a text as wide as the field fills it without one.
enum class FieldEnd { Terminated, MayFill };

// Writes text into a fixed-size field whole: cut to fit, and every byte after
// it cleared, so that nothing of an earlier, longer value stays behind it.
inline void WriteTextField(char* field, size_t size, std::string_view text, FieldEnd end = FieldEnd::Terminated) {
    if (size == 0) return;
    const size_t n = std::min(text.size(), end == FieldEnd::Terminated ? size - 1 : size);
    if (n) std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, size - n);
}

template <size_t N>
void WriteTextField(char (&field)[N], std::string_view text, FieldEnd end = FieldEnd::Terminated) {
    WriteTextField(field, N, text, end);
}

}  // namespace zk
