#include "http/RequestFraming.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/Text.h"

namespace zk::http {
namespace {

// A value as the parser takes it: leading spaces skipped, trailing blanks cut.
std::string_view Trimmed(std::string_view v) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

// strtoll in the given base over the whole text, as the parser checks it.
bool WholeNumber(std::string_view text, int base, long long* value) {
    std::string s(text);
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoll(s.c_str(), &end, base);
    return *end == '\0' && *value >= 0;
}

}  // namespace

RequestFraming::RequestFraming(uint64_t maxBody, size_t maxHead, std::function<bool(uint64_t)> reserve)
    : maxBody_(maxBody), maxHead_(maxHead), reserve_(std::move(reserve)) {}

void RequestFraming::SkipOpaque(uint64_t n) {
    n = std::min(n, OpaqueLeft());
    fed_ += n;
    left_ -= n;
    if (n && left_ == 0) state_ = state_ == State::Body ? State::RequestLine : State::ChunkSize;
}

std::vector<FramingEdit> RequestFraming::Feed(std::string_view bytes) {
    std::vector<FramingEdit> edits;
    const uint64_t end = fed_ + bytes.size();  // every byte counts, read or not
    size_t i = 0;
    while (i < bytes.size() && state_ != State::Stopped) {
        if (const uint64_t opaque = OpaqueLeft()) {
            const uint64_t take = std::min<uint64_t>(opaque, bytes.size() - i);
            i += take;
            SkipOpaque(take);
            continue;
        }
        const size_t lf = bytes.find('\n', i);
        const size_t stop = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (line_.empty()) lineStart_ = fed_;
        std::string_view line = bytes.substr(i, stop - i);
        fed_ += stop - i;
        i = stop;
        if (lf == std::string_view::npos) {
            line_.append(line);
            if (line_.size() > maxHead_) state_ = State::Stopped;  // the parser refuses it by itself
            break;
        }
        // A line that came whole is read where it lies; one begun in an
        // earlier read is put together in line_ (whose room is kept).
        if (!line_.empty()) line = line_.append(line);
        line.remove_suffix(1);  // "\n"
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Line(line, lineStart_, edits);
        line_.clear();
    }
    fed_ = end;
    return edits;
}

void RequestFraming::Line(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits) {
    switch (state_) {
        case State::RequestLine:
        case State::HeaderLine:
            headSize_ += line.size();
            if (headSize_ > maxHead_) {
                state_ = State::Stopped;  // the parser refuses the head
                return;
            }
            HeadLine(line, at, edits);
            return;
        case State::ChunkSize:
            ChunkSizeLine(line, at, edits);
            return;
        case State::Trailer:
            if (line.empty() || line.front() == '\0') state_ = State::RequestLine;
            return;
        default:
            return;
    }
}

void RequestFraming::Blank(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits) {
    edits.push_back({at, std::string(line.size(), 'x')});
    state_ = State::Stopped;
}

void RequestFraming::HeadLine(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits) {
    if (line.find('\0') != std::string_view::npos) return Blank(line, at, edits);
    if (state_ == State::RequestLine) {
        std::string_view method = line.substr(0, line.find(' '));
        bodyMethod_ = method == "POST" || method == "PUT" || method == "PATCH";
        busy_ = chunked_ = sawLength_ = sawEncoding_ = lengthValid_ = false;
        length_.clear();
        declared_ = 0;  // reserved_ keeps what is not handed out yet: EndOfHead moves it on
        state_ = State::HeaderLine;
        return;
    }
    if (line.empty()) return EndOfHead();
    // Folded lines would let a header mean one thing here and another there.
    if (line.front() == ' ' || line.front() == '\t') return Blank(line, at, edits);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;  // the parser refuses it
    std::string_view key = line.substr(0, colon);
    std::string_view value = Trimmed(line.substr(colon + 1));
    if (EqualNoCase(key, "Transfer-Encoding")) {
        if (busy_) {
            // The body has been declared empty: no other framing may bring it back.
            edits.push_back({at, std::string(key.size(), 'x')});
            return;
        }
        if (!sawEncoding_) chunked_ = EqualNoCase(value, "chunked");
        sawEncoding_ = true;
        return;
    }
    if (!EqualNoCase(key, "Content-Length")) return;
    if (sawLength_) {
        long long v = 0;
        bool valid = WholeNumber(value, 10, &v);
        if (valid != lengthValid_ || (valid ? static_cast<uint64_t>(v) != declared_ : value != length_))
            return Blank(line, at, edits);
        return;
    }
    sawLength_ = true;
    length_ = std::string(value);
    long long v = 0;
    lengthValid_ = WholeNumber(value, 10, &v);
    declared_ = lengthValid_ ? static_cast<uint64_t>(v) : 0;
    if (!bodyMethod_ || chunked_ || !lengthValid_ || declared_ == 0 || declared_ > maxBody_) return;
    if (reserve_(declared_)) {
        reserved_ += declared_;
        return;
    }
    // Over the budget: the parser is told the body is empty; the request is
    // answered 503 and its connection closed before the body is read.
    busy_ = true;
    std::string replacement = "Content-Length:0";
    replacement.resize(line.size(), ' ');
    edits.push_back({at, replacement});
}

void RequestFraming::EndOfHead() {
    verdicts_.push_back({busy_, reserved_});
    reserved_ = 0;
    headSize_ = 0;
    if (busy_) {
        state_ = State::Stopped;
    } else if (bodyMethod_ && chunked_) {
        chunkedTotal_ = 0;
        state_ = State::ChunkSize;
    } else if (bodyMethod_ && sawLength_ && !lengthValid_) {
        state_ = State::Stopped;  // the parser refuses it
    } else if (bodyMethod_ && declared_ > 0) {
        left_ = declared_;
        state_ = declared_ > maxBody_ ? State::Stopped : State::Body;
        if (state_ == State::Body) lastBody_ = {fed_, declared_};  // the head's last line has been counted
    } else {
        state_ = State::RequestLine;
    }
}

void RequestFraming::ChunkSizeLine(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits) {
    if (line.empty() || line.front() == '\0') return;  // the line break after a chunk
    // As the parser reads it: hexadecimal, then nothing or a space.
    std::string text(line.substr(0, line.find('\0')));
    char* stop = nullptr;
    long long size = strtoll(text.c_str(), &stop, 16);
    if ((*stop != '\0' && *stop != ' ') || size < 0 || size == LLONG_MAX ||
        chunkedTotal_ + static_cast<uint64_t>(size) > maxBody_) {
        state_ = State::Stopped;  // the parser refuses it
        return;
    }
    if (size == 0) {
        state_ = State::Trailer;
        return;
    }
    if (!reserve_(static_cast<uint64_t>(size))) return Blank(line, at, edits);
    chunkedTotal_ += static_cast<uint64_t>(size);
    if (!verdicts_.empty()) verdicts_.back().reserved += static_cast<uint64_t>(size);
    else reserved_ += static_cast<uint64_t>(size);
    left_ = static_cast<uint64_t>(size);
    state_ = State::ChunkData;
}

RequestVerdict RequestFraming::TakeVerdict() {
    if (verdicts_.empty()) return {};
    RequestVerdict v = verdicts_.front();
    verdicts_.pop_front();
    return v;
}

uint64_t RequestFraming::Outstanding() const {
    uint64_t total = reserved_;
    for (const auto& v : verdicts_) total += v.reserved;
    return total;
}

}  // namespace zk::http
