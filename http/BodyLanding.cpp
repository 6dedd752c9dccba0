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
}

void BodyLanding::Follow(evbuffer* buf, uint64_t fed, BodySpan body, evbuffer_cb_entry* watch) {
    if (body.length < kLandFrom) return;
    if (!memory_ || body.start != start_) {
        Reset();
        try {
            memory_ = std::make_shared<BodyMemory>(body.length + 1);  // room for a terminating zero
        } catch (const std::bad_alloc&) {
            return;  // the body is copied out when whole, as small ones are
        }
        start_ = body.start;
        length_ = body.length;
    }
    // Only while the buffer starts at the body: before, the parser has not
    // read the head yet; after, it has taken the body.
    const size_t length = evbuffer_get_length(buf);
    if (length > fed || fed - length != start_) return;
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
}

std::shared_ptr<BodyMemory> BodyLanding::Adopt(evbuffer* requestInput, size_t& size) {
    std::shared_ptr<BodyMemory> memory;
    evbuffer_iovec chain;
    if (memory_ && landed_ == length_ && evbuffer_get_length(requestInput) == length_ &&
        evbuffer_peek(requestInput, -1, nullptr, &chain, 1) == 1 && chain.iov_base == memory_->data()) {
        evbuffer_drain(requestInput, length_);
        size = length_;
        memory = memory_;
    }
    Reset();
    return memory;
}

}  // namespace zk::http
