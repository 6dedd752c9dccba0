#include "http/BodyLanding.h"

#include <algorithm>
#include <new>

namespace zk::http {
namespace {

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

void BodyLanding::Follow(evbuffer* buf, uint64_t fed, BodySpan body, evbuffer_cb_entry* watch) {
    const size_t length = evbuffer_get_length(buf);
    if (length > fed) return;
    // The body is landed only while the buffer starts at it: before, the
    // parser has not read its head yet; after, it has taken the body (and
    // the next body's head may have come along in the same read).
    const uint64_t bufferStart = fed - length;
    if (memory_ && bufferStart > start_) Reset();
    if (!memory_) {
        if (body.length < kLandFrom || body.start < bufferStart) return;
        try {
            memory_ = std::make_shared<BodyMemory>(body.length + 1);  // room for a terminating zero
        } catch (const std::bad_alloc&) {
            return;  // the body is copied out when whole, as small ones are
        }
        start_ = body.start;
        length_ = body.length;
        unwrap_.emplace();
    }
    if (bufferStart != start_) return;
    const uint64_t received = std::min(fed, start_ + length_) - start_;
    if (received <= landed_) return;
    evbuffer_ptr from;
    if (evbuffer_ptr_set(buf, &from, landed_, EVBUFFER_PTR_SET) != 0) return;
    const size_t fresh = received - landed_;
    if (evbuffer_copyout_from(buf, &from, memory_->data() + landed_, fresh) != static_cast<ev_ssize_t>(fresh)) return;
    evbuffer* front = evbuffer_new();
    if (!front) return;
    auto* hold = new std::shared_ptr<BodyMemory>(memory_);
    if (evbuffer_add_reference(front, memory_->data(), received, LetGo, hold) != 0) {
        delete hold;
        evbuffer_free(front);
        return;
    }
    // The same bytes, drained and put back as one chain: not news to the
    // caller's callback.
    evbuffer_cb_clear_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_drain(buf, received);
    evbuffer_prepend_buffer(buf, front);
    evbuffer_cb_set_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_free(front);
    landed_ = received;
    // Unwrapped as far as it can be; what is decoded goes back to the system.
    unwrap_->Feed(memory_->data(), landed_, landed_ == length_);
    if (!unwrap_->Declined() && unwrap_->Consumed() > released_) {
        memory_->Discard(std::max(released_, unwrap_->Written()), unwrap_->Consumed());
        released_ = unwrap_->Consumed();
    }
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
