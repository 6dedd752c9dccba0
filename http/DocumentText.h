// Where a request's document lies in its text: the text of a Data element,
// found by a linear scan before the request is parsed, so that the parser
// gets the request without it (a document may be nearly all of a request)
// and the document stays in the memory it was received in.
//
// The scan only proposes: the caller parses the request with a marker in
// place of the span and takes the span only when the parsed request holds
// the marker exactly as its Data text (RequestDataText); otherwise it parses
// the request whole, as it would without this.
#pragma once
#include <cstddef>
#include <optional>
#include <string_view>

namespace zk::http {

// A request's Data from this size stays out of the parsed request.
constexpr size_t kDocumentFrom = 64 << 10;

struct TextSpan {
    size_t begin = 0, end = 0;  // [begin, end) of the text
    size_t size() const { return end - begin; }
};

// What the text at a position is, as far as the text goes.
enum class TagAt { No, Yes, Unfinished };
// A start tag (at lt, a "<") of an element named Data (any case) that
// opens (not "<Data/>"); *textBegin is then where its text starts.
TagAt DataStartTagAt(std::string_view text, size_t lt, size_t* textBegin);
// The end tag "</Data" blanks ">" at at.
TagAt DataEndTagAt(std::string_view text, size_t at);

// The largest text, of at least minLength bytes, that is the whole content
// of an element named Data (any case; attributes allowed) and that the parser
// would hand on unchanged: no "&" (entities), "<" or carriage return in it.
std::optional<TextSpan> FindDocumentText(std::string_view text, size_t minLength);

}  // namespace zk::http
