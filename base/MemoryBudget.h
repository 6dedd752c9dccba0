// The memory requests hold at once, against MaxBodiesInFlight: request
// bodies from the moment they are announced, texts unpacked or decrypted
// for a request, and answers until their reader has taken them. Whatever
// does not fit is refused before its memory is taken (the front end answers
// 503), so that pages cannot make the service hold more than the budget.
#pragma once
#include <cstdint>
#include <utility>

namespace zk {

// Takes bytes of the budget; false (nothing taken) when they do not fit.
bool ReserveMemory(uint64_t bytes);
void ReleaseMemory(uint64_t bytes);
// What is held now.
uint64_t MemoryReserved();

// A holding of the budget, given back when dropped.
class MemoryShare {
public:
    MemoryShare() = default;
    ~MemoryShare() { ReleaseMemory(bytes_); }
    MemoryShare(MemoryShare&& other) noexcept : bytes_(std::exchange(other.bytes_, 0)) {}
    MemoryShare& operator=(MemoryShare&& other) noexcept {
        if (this != &other) {
            ReleaseMemory(bytes_);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    MemoryShare(const MemoryShare&) = delete;
    MemoryShare& operator=(const MemoryShare&) = delete;

    // Holds exactly bytes from now on: false (the holding unchanged) when
    // more do not fit.
    bool Resize(uint64_t bytes);
    uint64_t bytes() const { return bytes_; }

private:
    uint64_t bytes_ = 0;
};

}  // namespace zk
