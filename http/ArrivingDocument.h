// A request's document decoded while the request text arrives: the text of
// a Data element, when it is canonical Base64, is decoded where it lies as
// soon as its characters are written, and the rest of the request text
// follows its bytes. A large document is then held once, as its bytes, and
// is never held as text at all: not the 4/3 larger text first and its bytes
// after.
//
// Only canonical Base64 (base/StrictBase64.h) is decoded: such text is
// exactly the encoding of its bytes, so whatever turns out to want the text
// (a Data element the parser does not hand on as the document, a command
// that reads its Data as text) gets the very text that came. A Data text
// that holds anything else (line breaks, an entity, a stray character) is
// given back as text where it lies, at once, and the request goes the usual
// way.
#pragma once
#include <cstddef>
#include <optional>
#include <string_view>

namespace zk::http {

class ArrivingDocument {
public:
    // Documents whose text is shorter than minLength are given back as text.
    explicit ArrivingDocument(size_t minLength) : minLength_(minLength) {}

    // text: the request text so far, [0, written); the caller writes the
    // text that follows at written. Decodes what it can and moves written
    // back by what the decoding saved.
    void Grow(char* text, size_t& written);
    // The text is complete: a document not decoded whole is given back.
    void Finish(char* text, size_t& written);

    struct Span {
        size_t begin = 0;       // the document's bytes lie at [begin, begin + size) of the text,
        size_t size = 0;
        size_t textLength = 0;  // where textLength characters of its Base64 were
    };
    // Once finished: the document decoded, if there is one.
    std::optional<Span> Decoded() const;

private:
    enum class State { Search, InData, Done, Off };
    bool DecodeData(char* text, size_t& written);
    void EndData(size_t textLength, char* text, size_t& written);
    void GiveBack(char* text, size_t& written);

    // The text's last two bytes are not looked at until it is complete: the
    // padding at the end of the Base64 it is decoded from may take them back.
    size_t Settled(size_t written) const { return written > hold_ ? written - hold_ : 0; }

    size_t minLength_;
    size_t hold_ = 2;
    State state_ = State::Search;
    size_t scanFrom_ = 0;  // Search: the next "<" is looked for from here
    size_t begin_ = 0;     // the Data text starts here
    size_t at_ = 0;        // InData: its bytes end here, its text not yet decoded follows
    size_t textLength_ = 0;
};

// The request text with a decoded document given back as its Base64, what
// the text was as it came: text.size() - document.size + document.textLength
// characters written to out.
void WriteTextAsItCame(std::string_view text, const ArrivingDocument::Span& document, char* out);

}  // namespace zk::http
