#include "http/XmlLimits.h"

namespace zk::http {
namespace {

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

// The position after the end marker of a construct that starts at from, or
// npos when it never ends (the parser fails there).
size_t After(std::string_view text, size_t from, std::string_view end) {
    size_t at = text.find(end, from);
    return at == std::string_view::npos ? at : at + end.size();
}

}  // namespace

size_t MaxNodes(size_t documentLength) { return kMaxNodesBase + documentLength / kBytesPerExtraNode; }

bool WithinXmlLimits(std::string_view text) { return WithinXmlLimits(text, text.size()); }

bool WithinXmlLimits(std::string_view text, size_t documentLength) {
    const size_t maxNodes = MaxNodes(documentLength);
    size_t nodes = 0;
    size_t i = 0;
    while (i < text.size()) {
        const size_t lt = text.find('<', i);
        if (lt == std::string_view::npos) break;
        if (++nodes > maxNodes) return false;
        if (StartsWith(text, lt, "<!--")) {
            i = After(text, lt + 4, "-->");
        } else if (StartsWith(text, lt, "<![CDATA[")) {
            i = After(text, lt + 9, "]]>");
        } else if (StartsWith(text, lt, "<?")) {
            i = After(text, lt + 2, "?>");
        } else if (StartsWith(text, lt, "<!") || StartsWith(text, lt, "</")) {
            i = After(text, lt + 2, ">");
        } else {
            // A start tag: every attribute has its "=" outside the quoted
            // values, and the tag ends at the first ">" outside them.
            size_t attributes = 0;
            char quote = 0;
            size_t j = lt + 1;
            for (; j < text.size(); ++j) {
                const char c = text[j];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > kMaxAttributes) return false;
                } else if (c == '>') {
                    break;
                }
            }
            i = j + 1;
        }
        if (i == std::string_view::npos) break;
    }
    return true;
}

}  // namespace zk::http
