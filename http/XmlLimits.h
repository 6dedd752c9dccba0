// Bounds a request document must keep before it is parsed. The parser's
// duplicate-attribute check makes an element with many attributes cost
// quadratic time, and every node costs memory far beyond its few bytes of
// text: both are refused by a linear pre-scan, never found out by parsing.
#pragma once
#include <cstddef>
#include <string_view>

namespace zk::http {

constexpr size_t kMaxAttributes = 64;          // per element
constexpr size_t kMaxNodesBase = 10000;        // markup nodes (elements, comments, ...) in any document
constexpr size_t kBytesPerExtraNode = 1024;    // larger documents may have one more per this many bytes

// The most markup nodes a document of this length may hold.
size_t MaxNodes(size_t documentLength);

// True when no element of text has more than kMaxAttributes attributes and
// the document has at most MaxNodes(text.size()) markup nodes. Counts never
// fall short of what the parser would build.
bool WithinXmlLimits(std::string_view text);
// The same for the markup of a document of documentLength bytes whose text
// (free of markup) is left out of text.
bool WithinXmlLimits(std::string_view text, size_t documentLength);

}  // namespace zk::http
