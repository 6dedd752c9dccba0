#include "http/BodyLanding.h"

#include <algorithm>
#include <new>

#include <sys/socket.h>

namespace zk::http {
namespace {

// What a landing gives back at a time: a huge page.
constexpr size_t kReleaseStep = 2 << 20;
// What one pass of the loop reads straight from a connection's socket.
constexpr uint64_t kReadAheadPerPass = 1 << 20;

// The reference chain keeps the block alive: a connection that closes with a
// half-landed body frees its buffer, and with it this hold.
void LetGo(const void*, size_t, void* hold) { delete static_cast<std::shared_ptr<BodyMemory>*>(hold); }

}  // namespace

void BodyLanding::Reset() {
    memory_.reset();
    start_ = length_ = landed_ = 0;
    unwrap_.reset();
    released_ = 0;
}

// The rest of the body, as far as the socket has it now, read straight into
// the block: the connection's own reads take 4 KiB at a time (libevent 2.1
// has no setting for it), which for a large body is one pass of the loop,
// one copy and one buffer edit per 4 KiB. Stops at the body's end, so that
// what follows goes through the connection's reads as usual, and at an
// empty socket, an end or an error, which the connection's next read then
// sees itself.
uint64_t BodyLanding::ReadAhead(int socket, uint64_t buffered) {
    if (socket < 0 || buffered >= length_) return 0;
    uint64_t taken = 0;
    while (buffered + taken < length_ && taken < kReadAheadPerPass) {
        const size_t want = std::min(length_ - buffered - taken, kReadAheadPerPass - taken);
        const ssize_t n = recv(socket, memory_->data() + buffered + taken, want, MSG_DONTWAIT);
        if (n <= 0) break;
        taken += static_cast<uint64_t>(n);
    }
    return taken;
}

uint64_t BodyLanding::Follow(evbuffer* buf, uint64_t fed, BodySpan body, evbuffer_cb_entry* watch, int socket) {
    const size_t length = evbuffer_get_length(buf);
    if (length > fed) return 0;
    // The body is landed only while the buffer starts at it: before, the
    // parser has not read its head yet; after, it has taken the body (and
    // the next body's head may have come along in the same read).
    const uint64_t bufferStart = fed - length;
    if (memory_ && bufferStart > start_) Reset();
    if (!memory_) {
        if (body.length < kLandFrom || body.start < bufferStart) return 0;
        try {
            memory_ = std::make_shared<BodyMemory>(body.length + 1);  // room for a terminating zero
        } catch (const std::bad_alloc&) {
            return 0;  // the body is copied out when whole, as small ones are
        }
        start_ = body.start;
        length_ = body.length;
        unwrap_.emplace();
    }
    if (bufferStart != start_) return 0;
    const uint64_t buffered = std::min(fed, start_ + length_) - start_;
    if (buffered <= landed_) return 0;
    evbuffer_ptr from;
    if (evbuffer_ptr_set(buf, &from, landed_, EVBUFFER_PTR_SET) != 0) return 0;
    const size_t fresh = buffered - landed_;
    if (evbuffer_copyout_from(buf, &from, memory_->data() + landed_, fresh) != static_cast<ev_ssize_t>(fresh)) return 0;
    evbuffer* front = evbuffer_new();
    if (!front) return 0;
    const uint64_t readAhead = ReadAhead(socket, buffered);
    const uint64_t received = buffered + readAhead;
    auto* hold = new std::shared_ptr<BodyMemory>(memory_);
    if (evbuffer_add_reference(front, memory_->data(), received, LetGo, hold) != 0) {
        delete hold;
        evbuffer_free(front);
        // Bytes taken from the socket that the connection cannot be given:
        // it ends rather than wait for them.
        if (readAhead) {
            shutdown(socket, SHUT_RDWR);
            Reset();
        }
        return 0;
    }
    // The same bytes, drained and put back as one chain: not news to the
    // caller's callback.
    evbuffer_cb_clear_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_drain(buf, buffered);
    evbuffer_prepend_buffer(buf, front);
    evbuffer_cb_set_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_free(front);
    landed_ = received;
    // Unwrapped as far as it can be; what is decoded goes back to the system.
    unwrap_->Feed(memory_->data(), landed_, landed_ == length_);
    if (unwrap_->Declined()) return readAhead;
    // The request text is at most 3/4 of the form body (Base64), so the
    // pages below that are kept: the text would grow into them again, and
    // each page given back and touched again costs a fault and a clearing.
    // Pages go back in whole huge pages, which are not split for it.
    const size_t textReach = length_ / 4 * 3 + 4;
    const size_t keepBelow = std::max(released_, textReach);
    const size_t to = unwrap_->Consumed() / kReleaseStep * kReleaseStep;
    if (to > keepBelow) released_ = memory_->Discard(keepBelow, to);
    return readAhead;
}

LandedBody BodyLanding::Adopt(evbuffer* requestInput) {
    LandedBody body;
    evbuffer_iovec chain;
    if (memory_ && landed_ == length_ && evbuffer_get_length(requestInput) == length_ &&
        evbuffer_peek(requestInput, -1, nullptr, &chain, 1) == 1 && chain.iov_base == memory_->data()) {
        evbuffer_drain(requestInput, length_);
        body.memory = memory_;
        body.size = length_;
        if ((body.unwrapped = !unwrap_->Declined())) {
            body.text = unwrap_->Text(memory_->data(), length_);
            body.flags = unwrap_->Flags();
        }
    } else {
        body.lost = memory_ && unwrap_->Consumed() > 0 && !unwrap_->Declined();
    }
    Reset();
    return body;
}

}  // namespace zk::http
