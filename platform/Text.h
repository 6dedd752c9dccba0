// Small text rules used throughout: trimming and ASCII case-insensitive
// comparison.
#pragma once
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

}  // namespace zk
