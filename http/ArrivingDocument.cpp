#include "http/ArrivingDocument.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/CBase64.h"
#include "base/StrictBase64.h"
#include "http/DocumentText.h"

namespace zk::http {
namespace {

// How far a tag may run before it has ended, for the decoding to wait for
// its end: a longer one is looked at again on every read, so the decoding
// rather stops (the request goes the usual way).
constexpr size_t kTagLimit = 4096;

}  // namespace

void ArrivingDocument::Grow(char* text, size_t& written) {
    for (;;) {
        if (state_ == State::InData) {
            if (!DecodeData(text, written)) return;  // waits for more text
            continue;  // given back or done
        }
        if (state_ != State::Search) return;
        const size_t settled = Settled(written);
        const void* p = scanFrom_ < settled ? std::memchr(text + scanFrom_, '<', settled - scanFrom_) : nullptr;
        if (!p) {
            scanFrom_ = std::max(scanFrom_, settled);
            return;
        }
        const size_t lt = static_cast<size_t>(static_cast<const char*>(p) - text);
        size_t begin = 0;
        switch (DataStartTagAt(std::string_view(text, settled), lt, &begin)) {
        case TagAt::No:
            scanFrom_ = lt + 1;
            break;
        case TagAt::Unfinished:
            scanFrom_ = lt;
            if (settled - lt > kTagLimit) state_ = State::Off;
            return;
        case TagAt::Yes:
            state_ = State::InData;
            begin_ = at_ = begin;
            break;
        }
    }
}

// Whole groups are decoded over their text, and the text after them moves
// down to their bytes' end; what stops that decides the rest. False while
// the decoding waits for more text.
bool ArrivingDocument::DecodeData(char* text, size_t& written) {
    if (Settled(written) < at_) return false;
    const size_t taken = DecodeStrictGroups(text + at_, Settled(written) - at_, reinterpret_cast<uint8_t*>(text + at_));
    if (taken) {
        std::memmove(text + at_ + taken / 4 * 3, text + at_ + taken, written - at_ - taken);
        at_ += taken / 4 * 3;
        written -= taken / 4;
    }
    const size_t pending = Settled(written) - at_;
    const char* rest = text + at_;
    size_t odd = 0;
    while (odd < pending && odd < 4 && IsStrictBase64(rest[odd])) ++odd;
    if (odd == pending) return false;  // a group still arriving
    const size_t decodedText = (at_ - begin_) / 3 * 4;
    const std::string_view all(text, Settled(written));
    if (rest[odd] == '<' && odd == 0) {  // the text ends here, unpadded
        const TagAt end = DataEndTagAt(all, at_);
        if (end == TagAt::Unfinished && pending <= kTagLimit) return false;
        if (end == TagAt::Yes)
            EndData(decodedText, text, written);
        else
            GiveBack(text, written);
        return true;
    }
    if (rest[odd] == '=' && (odd == 2 || odd == 3)) {  // the padded last group, then the end
        if (pending < 5) return false;
        const TagAt end = DataEndTagAt(all, at_ + 4);
        if (end == TagAt::Unfinished && pending <= kTagLimit) return false;
        char group[4];
        std::memcpy(group, rest, 4);
        uint8_t bytes[2];
        const size_t n = end == TagAt::Yes && decodedText + 4 >= minLength_ ? DecodePaddedGroup(group, bytes) : 0;
        if (n == 0) {
            GiveBack(text, written);
            return true;
        }
        std::memcpy(text + at_, bytes, n);
        std::memmove(text + at_ + n, text + at_ + 4, written - at_ - 4);
        at_ += n;
        written -= 4 - n;
        EndData(decodedText + 4, text, written);
        return true;
    }
    GiveBack(text, written);  // an unpadded partial group, padding out of place, anything else
    return true;
}

void ArrivingDocument::EndData(size_t textLength, char* text, size_t& written) {
    if (textLength < minLength_) return GiveBack(text, written);
    textLength_ = textLength;
    state_ = State::Done;
}

// The bytes decoded so far (whole groups) become their text again, and the
// text after them moves up to make room: the request text as it came.
void ArrivingDocument::GiveBack(char* text, size_t& written) {
    const size_t bytes = at_ - begin_;
    std::memmove(text + at_ + bytes / 3, text + at_, written - at_);
    Base64EncodeInPlace(reinterpret_cast<uint8_t*>(text + begin_), bytes);
    written += bytes / 3;
    state_ = State::Search;
    scanFrom_ = begin_ + bytes / 3 * 4;
}

// No more text comes: a Data text still waiting for it is not a document,
// and the texts after it are looked at in turn.
void ArrivingDocument::Finish(char* text, size_t& written) {
    hold_ = 0;
    for (Grow(text, written); state_ == State::InData; Grow(text, written)) GiveBack(text, written);
}

std::optional<ArrivingDocument::Span> ArrivingDocument::Decoded() const {
    if (state_ != State::Done) return std::nullopt;
    return Span{begin_, at_ - begin_, textLength_};
}

void WriteTextAsItCame(std::string_view text, const ArrivingDocument::Span& document, char* out) {
    std::memcpy(out, text.data(), document.begin);
    Base64EncodeTo(text.data() + document.begin, document.size, out + document.begin);
    const std::string_view after = text.substr(document.begin + document.size);
    std::memcpy(out + document.begin + document.textLength, after.data(), after.size());
}

}  // namespace zk::http
