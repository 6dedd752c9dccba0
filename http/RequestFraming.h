// Follows the bytes of one connection as they arrive, before the HTTP parser
// (evhttp) reads them, and finds each request's head and body the way that
// parser does. It is where the front end
// - refuses framing the parser would take too lightly: a NUL byte or a folded
//   (continued) line in a head, and a second Content-Length that disagrees
//   with the first: the line is blanked so that the parser answers 400;
// - keeps request bodies within a budget: a declared body that does not fit
//   is turned into an empty one and the request is marked busy (answered 503
//   and the connection closed, its body never read); a chunked body takes
//   budget chunk by chunk, and one that outgrows it is cut off (the parser
//   answers 413).
// Edits are same-length overwrites of bytes the parser has not read yet.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::http {

struct FramingEdit {
    uint64_t at = 0;     // offset in the connection's byte stream
    std::string bytes;   // overwrite, same length
};

// A body with a declared length: where it starts in the stream and how long it is.
struct BodySpan {
    uint64_t start = 0, length = 0;
};

struct RequestVerdict {
    bool busy = false;      // over the body budget: answer 503 and close
    uint64_t reserved = 0;  // budget bytes held for this request's body
};

class RequestFraming {
public:
    // reserve(n) takes n bytes of the body budget, false when they do not
    // fit. maxBody: larger bodies the parser refuses by itself (413).
    RequestFraming(uint64_t maxBody, size_t maxHead, std::function<bool(uint64_t)> reserve);

    // The next bytes of the stream; returns the edits to make to them (and
    // to the unread part of the line they end).
    std::vector<FramingEdit> Feed(std::string_view bytes);

    // Body bytes still to come whose content the guard does not look at (the
    // rest of a body with a length, or of a chunk), and counting n of them
    // as fed without their bytes (n at most OpaqueLeft()).
    uint64_t OpaqueLeft() const { return state_ == State::Body || state_ == State::ChunkData ? left_ : 0; }
    void SkipOpaque(uint64_t n);

    // Bytes fed so far.
    uint64_t Fed() const { return fed_; }
    // The latest body with a declared length whose head has ended (it may
    // still be arriving, or be over).
    BodySpan LastBody() const { return lastBody_; }
    // Nothing more to follow (the connection ends after the current reply).
    bool Stopped() const { return state_ == State::Stopped; }

    // The verdict of the oldest request whose head has ended; a default one
    // when none is known.
    RequestVerdict TakeVerdict();
    // Budget bytes held and not yet taken with a verdict.
    uint64_t Outstanding() const;

private:
    enum class State { RequestLine, HeaderLine, Body, ChunkSize, ChunkData, Trailer, Stopped };
    void Line(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits);
    void HeadLine(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits);
    void EndOfHead();
    void ChunkSizeLine(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits);
    void Blank(std::string_view line, uint64_t at, std::vector<FramingEdit>& edits);

    const uint64_t maxBody_;
    const size_t maxHead_;
    std::function<bool(uint64_t)> reserve_;
    State state_ = State::RequestLine;
    uint64_t fed_ = 0;
    std::string line_;        // the line being read
    uint64_t lineStart_ = 0;  // its stream offset
    uint64_t left_ = 0;       // body or chunk bytes still to come
    uint64_t chunkedTotal_ = 0;
    size_t headSize_ = 0;
    // The head being read.
    bool bodyMethod_ = false, busy_ = false, chunked_ = false, sawLength_ = false, sawEncoding_ = false;
    std::string length_;       // the first Content-Length value as written
    uint64_t declared_ = 0;    // its value when it is valid
    bool lengthValid_ = false;
    uint64_t reserved_ = 0;    // budget taken for the request being read
    BodySpan lastBody_;
    std::deque<RequestVerdict> verdicts_;
};

}  // namespace zk::http
