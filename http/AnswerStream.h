// The body of an answer whose document the command left by reference
// (AttachAnswerDocument): the answer forms of RequestEncoding (the UTF-8
// envelope, its Base64, or the window-name page around that) written piece
// by piece, the document's Base64 made as the pieces are, so that neither
// the envelope nor its encoded form is ever held whole.
#pragma once
#include <array>
#include <cstddef>
#include <string>

#include "base/RequestDocument.h"
#include "http/RequestEncoding.h"

namespace zk::http {

class AnswerStream {
public:
    // head and tail: the UTF-8 envelope before and after the document's Base64.
    AnswerStream(std::string head, DocumentPieces document, std::string tail, RequestFlags flags);
    ~AnswerStream();  // wipes head and tail (an answer may hold secrets)
    AnswerStream(const AnswerStream&) = delete;
    AnswerStream& operator=(const AnswerStream&) = delete;

    // The whole body's length.
    size_t Length() const { return length_; }
    // The memory the stream keeps until it is done: the document and the envelope around it.
    size_t HeldBytes() const { return documentSize_ + head_.size() + tail_.size(); }
    // The next bytes, room of them unless the body ends first; 0 at the end.
    size_t Next(char* out, size_t room);
    bool Done() const { return written_ == length_; }

private:
    size_t Envelope(char* out, size_t room);  // the next bytes of the UTF-8 envelope
    size_t Encoded(char* out, size_t room);   // the next bytes of its Base64
    // Moves on n bytes of the document, into the next piece at a piece's end.
    void Advance(size_t n);
    // The next document bytes (at most 3, fewer only at the document's end),
    // across pieces; returns how many.
    size_t Gather(uint8_t* out);

    std::string head_, tail_;
    DocumentPieces document_;
    size_t documentSize_ = 0;
    size_t piece_ = 0, pieceAt_ = 0;  // where documentAt_ lies: which piece, and where in it
    RequestFlags flags_;
    size_t length_ = 0, written_ = 0;
    size_t headAt_ = 0, documentAt_ = 0, tailAt_ = 0, prefixAt_ = 0, suffixAt_ = 0;
    // A Base64 group cut by the end of a piece: its characters still to come.
    struct Carry {
        std::array<char, 4> chars{};
        size_t at = 0, size = 0;
        size_t Take(char* out, size_t room);
    };
    Carry documentCarry_, envelopeCarry_;
    bool envelopeEnded_ = false;
    std::string scratch_;  // envelope bytes on their way into their Base64
};

}  // namespace zk::http
