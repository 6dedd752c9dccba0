#include "platform/Memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "platform/SecureWipe.h"

namespace zk {
namespace {

// Smaller bodies come from the heap: a mapping costs system calls and page
// faults that a short request would notice.
constexpr size_t kMapFrom = 1 << 20;
// From this size a mapping asks for huge pages (2 MiB on x86-64).
constexpr size_t kHugeFrom = 8 << 20;

// Pages straight from the system. Huge pages where the system offers them:
// a body of a hundred MiB in 4 KiB pages costs tens of thousands of page
// faults, more time than decoding it. Only advice: without them the pages
// stay small.
void* MapPages(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (size >= kHugeFrom) madvise(p, size, MADV_HUGEPAGE);
    return p;
}

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

void ReturnFreeMemory() { malloc_trim(0); }

void LargeBlockFree::operator()(uint8_t* p) const {
    if (size >= kMapFrom)
        munmap(p, size);
    else
        std::free(p);
}

LargeBlock AllocateLarge(size_t size) {
    if (size >= kMapFrom) return LargeBlock(static_cast<uint8_t*>(MapPages(size)), LargeBlockFree{size});
    auto* p = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    if (!p) throw std::bad_alloc();
    return LargeBlock(p, LargeBlockFree{size});
}

BodyMemory::BodyMemory(size_t capacity) : capacity_(capacity), used_(capacity) {
    if (capacity >= kMapFrom) {
        data_ = static_cast<char*>(MapPages(capacity));
        mapped_ = true;
    } else {
        data_ = static_cast<char*>(std::malloc(capacity ? capacity : 1));
        if (!data_) throw std::bad_alloc();
    }
}

BodyMemory::BodyMemory(BodyMemory&& other) noexcept { *this = std::move(other); }

BodyMemory& BodyMemory::operator=(BodyMemory&& other) noexcept {
    if (this != &other) {
        Free();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        used_ = std::exchange(other.used_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

void BodyMemory::KeepOnly(size_t end) {
    if (end >= used_) return;
    used_ = end;
    if (!mapped_) return;
    const size_t page = PageSize();
    const size_t from = (end + page - 1) / page * page;
    if (from < capacity_) madvise(data_ + from, capacity_ - from, MADV_DONTNEED);
}

void BodyMemory::Free() {
    if (!data_) return;
    SecureWipe(data_, used_);
    if (mapped_)
        munmap(data_, capacity_);
    else
        std::free(data_);
    data_ = nullptr;
    capacity_ = used_ = 0;
    mapped_ = false;
}

}  // namespace zk
