#include "http/DocumentText.h"

#include <cstring>

namespace zk::http {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool NameIsData(std::string_view text, size_t at) {
    if (at + 4 > text.size()) return false;
    return Lower(text[at]) == 'd' && Lower(text[at + 1]) == 'a' && Lower(text[at + 2]) == 't' &&
           Lower(text[at + 3]) == 'a';
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// After "<data" at lt: the end of a start tag that opens (not "/>"), or npos.
// Attribute values in quotes may hold ">".
size_t StartTagEnd(std::string_view text, size_t lt) {
    size_t i = lt + 5;
    if (i >= text.size() || !(text[i] == '>' || IsBlank(text[i]))) return std::string_view::npos;
    char quote = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '<') {
            return std::string_view::npos;
        } else if (c == '>') {
            return text[i - 1] == '/' ? std::string_view::npos : i + 1;
        }
    }
    return std::string_view::npos;
}

// "</data" blanks ">" at at.
bool IsDataEndTag(std::string_view text, size_t at) {
    if (at + 2 > text.size() || text[at] != '<' || text[at + 1] != '/' || !NameIsData(text, at + 2)) return false;
    size_t i = at + 6;
    while (i < text.size() && IsBlank(text[i])) ++i;
    return i < text.size() && text[i] == '>';
}

bool Holds(std::string_view span, char c) { return std::memchr(span.data(), c, span.size()) != nullptr; }

}  // namespace

std::optional<TextSpan> FindDocumentText(std::string_view text, size_t minLength) {
    std::optional<TextSpan> best;
    size_t i = 0;
    while (i < text.size()) {
        const void* found = std::memchr(text.data() + i, '<', text.size() - i);
        if (!found) break;
        const size_t lt = static_cast<size_t>(static_cast<const char*>(found) - text.data());
        i = lt + 1;
        if (!NameIsData(text, lt + 1)) continue;
        const size_t begin = StartTagEnd(text, lt);
        if (begin == std::string_view::npos) continue;
        const void* next = std::memchr(text.data() + begin, '<', text.size() - begin);
        if (!next) break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(next) - text.data());
        i = end;
        const std::string_view span = text.substr(begin, end - begin);
        if (span.size() < minLength || (best && span.size() <= best->size())) continue;
        if (!IsDataEndTag(text, end) || Holds(span, '&') || Holds(span, '\r')) continue;
        best = TextSpan{begin, end};
    }
    return best;
}

}  // namespace zk::http
