#include "http/AnswerStream.h"

#include <algorithm>
#include <cstring>

#include "base/CBase64.h"
#include "platform/SecureWipe.h"

namespace zk::http {
namespace {

// Envelope bytes encoded at a time in the encoded forms (a multiple of 3).
constexpr size_t kScratch = 48 << 10;

// Copies what is left of text from at, at most room bytes.
size_t CopyFrom(std::string_view text, size_t& at, char* out, size_t room) {
    const size_t n = std::min(room, text.size() - at);
    std::memcpy(out, text.data() + at, n);
    at += n;
    return n;
}

}  // namespace

size_t AnswerStream::Carry::Take(char* out, size_t room) {
    const size_t n = std::min(room, size - at);
    std::memcpy(out, chars.data() + at, n);
    at += n;
    return n;
}

AnswerStream::AnswerStream(std::string head, DocumentPieces document, std::string tail, RequestFlags flags)
    : head_(std::move(head)), tail_(std::move(tail)), document_(std::move(document)), documentSize_(document_.size()),
      flags_(flags) {
    Advance(0);  // past empty pieces at the start
    const size_t envelope = head_.size() + Base64EncodedLength(documentSize_) + tail_.size();
    if (flags_.native && !flags_.encodeOutput)
        length_ = envelope;
    else if (flags_.native)
        length_ = Base64EncodedLength(envelope);
    else
        length_ = kWindowNameHead.size() + Base64EncodedLength(envelope) + kWindowNameTail.size();
}

AnswerStream::~AnswerStream() {
    SecureWipe(head_);
    SecureWipe(tail_);
    SecureWipe(scratch_);
}

void AnswerStream::Advance(size_t n) {
    documentAt_ += n;
    pieceAt_ += n;
    while (piece_ < document_.pieces.size() && pieceAt_ == document_.pieces[piece_].size()) {
        ++piece_;
        pieceAt_ = 0;
    }
}

size_t AnswerStream::Gather(uint8_t* out) {
    size_t got = 0;
    while (got < 3 && documentAt_ < documentSize_) {
        out[got++] = document_.pieces[piece_].data()[pieceAt_];
        Advance(1);
    }
    return got;
}

size_t AnswerStream::Envelope(char* out, size_t room) {
    size_t n = CopyFrom(head_, headAt_, out, room);
    while (n < room && (documentCarry_.at < documentCarry_.size || documentAt_ < documentSize_)) {
        if (documentCarry_.at < documentCarry_.size) {
            n += documentCarry_.Take(out + n, room - n);
            continue;
        }
        const SharedBytes& piece = document_.pieces[piece_];
        const size_t groups = std::min((room - n) / 4, (piece.size() - pieceAt_) / 3);
        if (groups > 0) {
            Base64EncodeTo(piece.data() + pieceAt_, groups * 3, out + n);
            Advance(groups * 3);
            n += groups * 4;
            continue;
        }
        // A group across pieces, the last (short) group, or less room than
        // a group: through the carry.
        uint8_t group[3];
        const size_t take = Gather(group);
        Base64EncodeTo(group, take, documentCarry_.chars.data());
        documentCarry_.at = 0;
        documentCarry_.size = 4;
    }
    if (documentAt_ == documentSize_ && documentCarry_.at == documentCarry_.size)
        n += CopyFrom(tail_, tailAt_, out + n, room - n);
    return n;
}

size_t AnswerStream::Encoded(char* out, size_t room) {
    size_t n = 0;
    while (n < room) {
        if (envelopeCarry_.at < envelopeCarry_.size) {
            n += envelopeCarry_.Take(out + n, room - n);
            continue;
        }
        if (envelopeEnded_) break;
        const size_t groups = std::min((room - n) / 4, kScratch / 3);
        if (groups == 0) {  // room for less than a group: one group through the carry
            char bytes[3];
            const size_t got = Envelope(bytes, 3);
            if (got < 3) envelopeEnded_ = true;
            if (got == 0) break;
            Base64EncodeTo(bytes, got, envelopeCarry_.chars.data());
            envelopeCarry_.at = 0;
            envelopeCarry_.size = 4;
            continue;
        }
        if (scratch_.size() < kScratch) scratch_.resize(kScratch);
        const size_t want = groups * 3;
        const size_t got = Envelope(scratch_.data(), want);
        Base64EncodeTo(scratch_.data(), got, out + n);  // a short last group gets its padding
        n += Base64EncodedLength(got);
        if (got < want) envelopeEnded_ = true;
    }
    return n;
}

size_t AnswerStream::Next(char* out, size_t room) {
    room = std::min(room, length_ - written_);
    size_t n = 0;
    if (flags_.native && !flags_.encodeOutput) {
        n = Envelope(out, room);
    } else {
        if (!flags_.native) n += CopyFrom(kWindowNameHead, prefixAt_, out, room);
        n += Encoded(out + n, room - n);
        if (!flags_.native && envelopeEnded_ && envelopeCarry_.at == envelopeCarry_.size)
            n += CopyFrom(kWindowNameTail, suffixAt_, out + n, room - n);
    }
    written_ += n;
    return n;
}

}  // namespace zk::http
