#include "http/DocumentText.h"

#include <cstring>

namespace zk::http {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// "data" (any case) at at; Unfinished when the text ends first.
TagAt NameIsData(std::string_view text, size_t at) {
    static constexpr char kName[] = "data";
    for (size_t k = 0; k < 4; ++k) {
        if (at + k >= text.size()) return TagAt::Unfinished;
        if (Lower(text[at + k]) != kName[k]) return TagAt::No;
    }
    return TagAt::Yes;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

// Attribute values in quotes may hold ">".
TagAt DataStartTagAt(std::string_view text, size_t lt, size_t* textBegin) {
    const TagAt name = NameIsData(text, lt + 1);
    if (name != TagAt::Yes) return name;
    size_t i = lt + 5;
    if (i >= text.size()) return TagAt::Unfinished;
    if (!(text[i] == '>' || IsBlank(text[i]))) return TagAt::No;
    char quote = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '<') {
            return TagAt::No;
        } else if (c == '>') {
            if (text[i - 1] == '/') return TagAt::No;  // empty: no text
            *textBegin = i + 1;
            return TagAt::Yes;
        }
    }
    return TagAt::Unfinished;
}

TagAt DataEndTagAt(std::string_view text, size_t at) {
    if (at + 2 > text.size()) return TagAt::Unfinished;
    if (text[at] != '<' || text[at + 1] != '/') return TagAt::No;
    const TagAt name = NameIsData(text, at + 2);
    if (name != TagAt::Yes) return name;
    size_t i = at + 6;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) return TagAt::Unfinished;
    return text[i] == '>' ? TagAt::Yes : TagAt::No;
}

namespace {

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
        size_t begin = 0;
        if (DataStartTagAt(text, lt, &begin) != TagAt::Yes) continue;
        const void* next = std::memchr(text.data() + begin, '<', text.size() - begin);
        if (!next) break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(next) - text.data());
        i = end;
        const std::string_view span = text.substr(begin, end - begin);
        if (span.size() < minLength || (best && span.size() <= best->size())) continue;
        if (DataEndTagAt(text, end) != TagAt::Yes || Holds(span, '&') || Holds(span, '\r')) continue;
        best = TextSpan{begin, end};
    }
    return best;
}

}  // namespace zk::http
