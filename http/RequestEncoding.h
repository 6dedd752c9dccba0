// The transport encodings of a command: the flags and the unwrapping of a POST
// body, the end of the request document, and the three answer forms.
#pragma once
#include <string>
#include <string_view>

namespace zk::http {

// The window-name page around the Base64 of the answer.
constexpr std::string_view kWindowNameHead = "<html><head><script type=\"text/javascript\">window.name='{data:\"";
constexpr std::string_view kWindowNameTail = "\"}';</script></head><body></body></html>";

struct RequestFlags {
    bool native = false;        // "nativedata=" followed by a digit other than 0
    bool encodeOutput = true;   // "encodeOutput=" followed by a digit other than 0
};

// Each flag is decided by the first occurrence of its name in the raw body.
RequestFlags ReadFlags(std::string_view body);

// "+" becomes a space, "%" and two hex digits that byte; any other "%" stays.
// The text from position from is decoded into the start of text.
void PercentDecode(std::string& text, size_t from = 0);
// The same over size bytes at text; returns the decoded length.
size_t PercentDecode(char* text, size_t size, size_t from);

// The request text of a body: from "<?xml" as it is; else the Base64 value
// after the first "data=" (percent-decoded first); else the percent-decoded
// body, from "<?xml" when it holds one.
std::string UnwrapBody(std::string body);
// The same in the body's own memory (size bytes at body): the request text
// lies inside it afterwards.
std::string_view UnwrapBodyInPlace(char* body, size_t size);

// How much of a request text is the XML document: up to the first zero byte,
// and no further than the first text after the root element that is not
// markup (form fields decoded along with the document trail it).
size_t DocumentLength(std::string_view text);

// The answer body for the flags: the UTF-8 envelope, its Base64, or the
// window-name page around the Base64.
std::string EncodeAnswer(std::string utf8Answer, RequestFlags flags);

}  // namespace zk::http
