// The transport encodings of a command: the flags and the unwrapping of a POST
// body, the end of the request document, and the three answer forms.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/CBase64.h"
#include "http/ArrivingDocument.h"

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

// The unwrapping of a body while it arrives, for the form pages send: a body
// that opens with "data=". Each Feed scans the raw bytes that came for what
// the rules look for in the raw body ("<?xml", the flags), then
// percent-decodes and Base64-decodes what none of that can still concern,
// writing the request text at the start of the body's memory. The result is
// the same as UnwrapBodyInPlace and ReadFlags over the whole body, without
// holding the whole raw body: a Feed needs only the raw bytes from
// NeededFrom() on, and they may lie anywhere (the landing passes them
// through a small buffer of its own, so the body's memory holds only text).
class ArrivingBody {
public:
    // raw holds the body's bytes [rawStart, received), with rawStart no
    // later than NeededFrom() (0 before the first Feed); text is the body's
    // memory, where the request text goes; complete: the body is whole
    // (received is its size). Raw and text may be the same memory: the text
    // never overtakes the raw bytes still needed.
    void Feed(const char* raw, size_t rawStart, size_t received, bool complete, char* text);
    // From the first Feed on, a Data text of at least minLength canonical
    // Base64 characters is decoded as it comes (ArrivingDocument).
    void DecodeDocument(size_t minLength) { document_.emplace(minLength); }
    // The body does not open with "data=": it is unwrapped whole, as usual.
    bool Declined() const { return mode_ == Mode::Raw; }
    // The first raw byte a later Feed reads.
    size_t NeededFrom() const;
    // Where the request is the raw body as it is ("<?xml" came first), if it
    // is: the raw bytes from there on must lie in the body's memory at
    // their places when the body is complete.
    size_t RawFrom() const { return xmlAt_; }
    // The request text is decoded into [0, Written()) so far.
    size_t Written() const { return decoder_.Written(); }
    // Once complete: the request text (in body) and the flags.
    std::string_view Text(char* body, size_t size) const;
    RequestFlags Flags() const { return flags_; }
    // Once complete: the document decoded in the text, if one was.
    std::optional<ArrivingDocument::Span> Document() const;

private:
    enum class Mode { Undecided, Raw, Data };
    void Scan(const char* raw, size_t rawStart, size_t received, bool complete);
    Mode mode_ = Mode::Undecided;
    size_t consumed_ = 0;  // decoded up to here
    size_t scanFrom_ = 0;  // the next scan starts here
    size_t xmlAt_ = std::string_view::npos;  // the first "<?xml" of the raw body
    bool nativeSeen_ = false, encodeSeen_ = false;
    RequestFlags flags_;
    size_t length_ = 0;  // decoded length, once complete
    Base64Decoder decoder_;
    std::optional<ArrivingDocument> document_;
};

// How much of a request text is the XML document: up to the first zero byte,
// and no further than the first text after the root element that is not
// markup (form fields decoded along with the document trail it).
size_t DocumentLength(std::string_view text);

// The answer body for the flags: the UTF-8 envelope, its Base64, or the
// window-name page around the Base64.
std::string EncodeAnswer(std::string utf8Answer, RequestFlags flags);

}  // namespace zk::http
