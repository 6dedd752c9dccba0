#include "platform/Memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

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

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

void ReturnFreeMemory() { malloc_trim(0); }

BodyMemory::BodyMemory(size_t capacity) : capacity_(capacity), used_(capacity) {
    if (capacity >= kMapFrom) {
        void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
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
