#include "http/BodyLanding.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/socket.h>

#include "http/DocumentText.h"

namespace zk::http {
namespace {

// The raw bytes of a form body pass through a buffer of this size.
constexpr size_t kStageSize = 256 << 10;
// What one pass of the loop reads straight from a connection's socket.
constexpr uint64_t kReadAheadPerPass = 1 << 20;

// The reference chain keeps the block alive: a connection that closes with a
// half-landed body frees its buffer, and with it this hold.
void LetGo(const void*, size_t, void* hold) { delete static_cast<std::shared_ptr<BodyMemory>*>(hold); }

}  // namespace

void BodyLanding::Reset() {
    // Pages the landing never wrote are not wiped into existence.
    if (memory_ && !raw_) memory_->KeepOnly(std::max<size_t>(textReach_, copied_));
    memory_.reset();
    start_ = length_ = landed_ = copied_ = textReach_ = 0;
    unwrap_.reset();
    stage_.Free();
    raw_ = failed_ = false;
}

// Takes up to want bytes of the body that follow landed_ from fill(dest,
// room), which returns how many it wrote (0: none to be had now). A body
// that is not the form lands in the block at its place; a form body goes
// through the stage into the unwrapping, which writes the request text at
// the start of the block: the raw bytes never touch the block, whose pages
// then hold nothing but the text (a form body is 4/3 of its text and more,
// and every page of the block touched is a page the system clears first).
template <class Fill>
uint64_t BodyLanding::Take(uint64_t want, Fill&& fill) {
    uint64_t taken = 0;
    while (taken < want) {
        if (raw_) {
            const size_t n = fill(memory_->data() + landed_, want - taken);
            if (n == 0) break;
            landed_ += n, taken += n;
            continue;
        }
        // What the unwrapping still needs moves to the front of the stage.
        const size_t keep = unwrap_->NeededFrom() > stageStart_ ? unwrap_->NeededFrom() - stageStart_ : 0;
        const size_t kept = std::min(keep, stageUsed_);
        std::memmove(stage_.data(), stage_.data() + kept, stageUsed_ - kept);
        stageUsed_ -= kept, stageStart_ += kept;
        const size_t n = fill(stage_.data() + stageUsed_, std::min<uint64_t>(want - taken, stage_.capacity() - stageUsed_));
        if (n == 0) break;
        stageUsed_ += n, landed_ += n, taken += n;
        Unwrap();
    }
    return taken;
}

// Feeds the stage to the unwrapping, and puts raw bytes where the text
// needs them as they are: a whole body that is not the form (known from its
// first bytes, when the stage still holds all of them), or the body from a
// raw "<?xml" on.
void BodyLanding::Unwrap() {
    unwrap_->Feed(stage_.data(), stageStart_, landed_, landed_ == length_, memory_->data());
    // The text of a stage's bytes may have gone further before a document in
    // it was decoded over it.
    textReach_ = std::max<size_t>(textReach_, std::min<size_t>(unwrap_->Written() + kStageSize, length_ + 1));
    const size_t from = unwrap_->Declined() ? 0 : unwrap_->RawFrom();
    if (from >= landed_) return;
    const size_t start = std::max<size_t>({from, copied_, stageStart_});
    std::memcpy(memory_->data() + start, stage_.data() + (start - stageStart_), landed_ - start);
    copied_ = landed_;
    if (unwrap_->Declined()) {
        raw_ = true;  // from now on straight into the block
        stage_.Free();
    }
}

// The rest of the body, as far as the socket has it now, read straight from
// the socket: the connection's own reads take 4 KiB at a time (libevent 2.1
// has no setting for it), which for a large body is one pass of the loop,
// one copy and one buffer edit per 4 KiB. Stops at the body's end, so that
// what follows goes through the connection's reads as usual, and at an
// empty socket, an end or an error, which the connection's next read then
// sees itself.
uint64_t BodyLanding::ReadAhead(int socket) {
    if (socket < 0 || landed_ >= length_) return 0;
    return Take(std::min(length_ - landed_, kReadAheadPerPass), [&](char* dest, size_t room) -> size_t {
        const ssize_t n = recv(socket, dest, room, MSG_DONTWAIT);
        return n > 0 ? static_cast<size_t>(n) : 0;
    });
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
            stage_ = BodyMemory(kStageSize);
        } catch (const std::bad_alloc&) {
            memory_.reset();
            return 0;  // the body is copied out when whole, as small ones are
        }
        start_ = body.start;
        length_ = body.length;
        stageStart_ = stageUsed_ = 0;
        unwrap_.emplace();
        unwrap_->DecodeDocument(kDocumentFrom);
    }
    if (bufferStart != start_ || failed_) return 0;
    const uint64_t buffered = std::min(fed, start_ + length_) - start_;
    if (buffered <= landed_) return 0;
    evbuffer* front = evbuffer_new();
    if (!front) return 0;
    evbuffer_ptr from;
    if (evbuffer_ptr_set(buf, &from, landed_, EVBUFFER_PTR_SET) != 0) {
        evbuffer_free(front);
        return 0;
    }
    // The fresh bytes in the buffer, then what the socket has.
    const uint64_t fresh = buffered - landed_;
    Take(fresh, [&](char* dest, size_t room) -> size_t {
        const ev_ssize_t n = evbuffer_copyout_from(buf, &from, dest, room);
        if (n <= 0) return 0;
        evbuffer_ptr_set(buf, &from, static_cast<size_t>(n), EVBUFFER_PTR_ADD);
        return static_cast<size_t>(n);
    });
    const uint64_t readAhead = landed_ == buffered ? ReadAhead(socket) : 0;
    auto* hold = new std::shared_ptr<BodyMemory>(memory_);
    if (landed_ < buffered || evbuffer_add_reference(front, memory_->data(), landed_, LetGo, hold) != 0) {
        // The bytes taken can be neither put back nor had again: the request
        // is refused when it completes (Adopt), and bytes taken from the
        // socket end the connection rather than leave it waiting for them.
        delete hold;
        evbuffer_free(front);
        failed_ = true;
        if (readAhead) shutdown(socket, SHUT_RDWR);
        return 0;
    }
    // The same bytes, drained and put back as one chain: not news to the
    // caller's callback. The chain stands for bytes the parser only counts
    // and hands on, so it may refer to memory that holds the text instead.
    evbuffer_cb_clear_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_drain(buf, buffered);
    evbuffer_prepend_buffer(buf, front);
    evbuffer_cb_set_flags(buf, watch, EVBUFFER_CB_ENABLED);
    evbuffer_free(front);
    return readAhead;
}

LandedBody BodyLanding::Adopt(evbuffer* requestInput) {
    LandedBody body;
    evbuffer_iovec chain;
    if (memory_ && !failed_ && landed_ == length_ && evbuffer_get_length(requestInput) == length_ &&
        evbuffer_peek(requestInput, -1, nullptr, &chain, 1) == 1 && chain.iov_base == memory_->data()) {
        evbuffer_drain(requestInput, length_);
        body.memory = memory_;
        body.size = length_;
        if ((body.unwrapped = !unwrap_->Declined())) {
            body.text = unwrap_->Text(memory_->data(), length_);
            body.flags = unwrap_->Flags();
            body.document = unwrap_->Document();
        }
    } else {
        // A form body was never in the block as it came: it cannot be had raw.
        body.lost = memory_ && (!raw_ || failed_) && landed_ > 0;
    }
    Reset();
    return body;
}

}  // namespace zk::http
