// Handing freed memory back to the system, and the memory of request bodies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace zk {

// Returns the free memory of every heap to the system (free pages in the
// middle of a heap included), so that a large buffer given up in small
// pieces does not stay resident.
void ReturnFreeMemory();

// A block for large data (documents, their signed or decrypted forms):
// from 1 MiB on mapped from the system (huge pages preferred, see
// BodyMemory), smaller ones from the heap. Not cleared before use.
struct LargeBlockFree {
    size_t size = 0;
    void operator()(uint8_t* p) const;
};
using LargeBlock = std::unique_ptr<uint8_t[], LargeBlockFree>;
LargeBlock AllocateLarge(size_t size);  // std::bad_alloc when it cannot be had

// Memory for a request body and what is decoded from it in place. Large
// sizes are mapped from the system directly, so that the part a decoding no
// longer needs goes back at once (KeepOnly) instead of staying resident until
// the whole buffer is freed. What is kept is wiped when the memory is given
// back (a body may hold passwords). Not cleared before use.
class BodyMemory {
public:
    BodyMemory() = default;
    explicit BodyMemory(size_t capacity);  // std::bad_alloc when it cannot be had
    BodyMemory(BodyMemory&& other) noexcept;
    BodyMemory& operator=(BodyMemory&& other) noexcept;
    BodyMemory(const BodyMemory&) = delete;
    BodyMemory& operator=(const BodyMemory&) = delete;
    ~BodyMemory() { Free(); }

    char* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Only [0, end) is used from now on: the whole pages after it go back to
    // the system (and are not wiped: they hold nothing any more).
    void KeepOnly(size_t end);
    void Free();

private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;  // what may hold data: wiped when freed
    bool mapped_ = false;
};

}  // namespace zk
