// A large request body landed in its own memory while it arrives, instead of
// piling up in the connection's buffer and being copied out when whole.
//
// evhttp keeps a body with a length in the connection's input buffer until
// the last byte has come. After each read, the bytes of the body received so
// far are copied into one block (huge pages preferred) and the buffer's chains
// holding them are replaced by a single chain referring to that block: the
// parser still sees every byte where it expects it, the freshly read chains go
// back to the allocator at once (a 100 MiB body no longer grows the heap by
// its size, page by page), and when the request is complete its body is
// adopted as it lies, without another copy.
//
// A body in the form pages send ("data=" and the percent-encoded Base64 of
// the request) is unwrapped as it lands (ArrivingBody): its raw bytes pass
// through a small buffer of the landing's own, and only the request text
// they decode to is written, at the start of the block. The parser never
// reads a body's bytes, it only hands the chain on, so the chain may stand
// for bytes that hold something else, or that were never written at all. A
// 100 MiB document is then held once as its request text (4/3 of it), and
// the block's pages past the text are never touched: not the 1.78 times
// larger form body.
//
// Loop thread only, like everything that touches the connection's buffers.
#pragma once
#include <event2/buffer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "http/RequestEncoding.h"
#include "http/RequestFraming.h"
#include "platform/Memory.h"

namespace zk::http {

// Bodies from this size on are landed; smaller ones are copied when whole.
constexpr uint64_t kLandFrom = 256 << 10;

// A complete body taken from its connection.
struct LandedBody {
    std::shared_ptr<BodyMemory> memory;  // null when the body was not landed
    size_t size = 0;                     // its bytes in memory, as received
    bool lost = false;                   // landed and unwrapped, but not what the parser handed on
    bool unwrapped = false;              // the request text is text (in memory), the flags flags
    std::string_view text;
    RequestFlags flags;
    std::optional<ArrivingDocument::Span> document;  // decoded in text as it arrived
};

class BodyLanding {
public:
    BodyLanding() = default;
    BodyLanding(const BodyLanding&) = delete;
    BodyLanding& operator=(const BodyLanding&) = delete;

    // After a read: buf is the connection's input buffer, whose end is at
    // stream offset fed; body is the latest body with a length the framing
    // saw. watch is the caller's callback on buf, kept quiet while the
    // landed bytes are put back. socket: the connection's socket when its
    // bytes are the stream itself (not TLS), else -1. Returns how many bytes
    // of the body were read from the socket here and added to buf: they
    // follow fed, and the framing has yet to count them.
    uint64_t Follow(evbuffer* buf, uint64_t fed, BodySpan body, evbuffer_cb_entry* watch, int socket);

    // The body of a complete request, when its input buffer holds exactly
    // the landed bytes: the buffer is emptied and the block handed over.
    // Else no memory (the caller copies the body out itself), or lost when
    // the landed bytes were unwrapped already and cannot be had raw.
    LandedBody Adopt(evbuffer* requestInput);

    // Lets go of a landed body whose request is refused.
    void Reset();

private:
    uint64_t ReadAhead(int socket);
    template <class Fill>
    uint64_t Take(uint64_t want, Fill&& fill);
    void Unwrap();

    std::shared_ptr<BodyMemory> memory_;
    uint64_t start_ = 0, length_ = 0;
    uint64_t landed_ = 0;  // bytes of the body taken in: the chain stands for them
    std::optional<ArrivingBody> unwrap_;  // for the body being landed
    // A form body's raw bytes [stageStart_, stageStart_ + stageUsed_) on
    // their way to the unwrapping (wiped when let go: they hold the request).
    BodyMemory stage_;
    size_t stageStart_ = 0, stageUsed_ = 0;
    size_t copied_ = 0;  // raw bytes before this lie at their places in the block (see Unwrap)
    size_t textReach_ = 0;  // the text has not been written past this
    bool raw_ = false;  // not the form: the body lands in the block as it is
    bool failed_ = false;  // bytes were taken that the buffer could not be given: refused when whole
};

}  // namespace zk::http
