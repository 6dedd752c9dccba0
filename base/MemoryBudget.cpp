#include "base/MemoryBudget.h"

#include <atomic>

#include "base/Settings.h"

namespace zk {
namespace {

std::atomic<uint64_t> g_reserved{0};

}  // namespace

bool ReserveMemory(uint64_t n) {
    const uint64_t budget = Host().maxBodiesInFlight;
    uint64_t now = g_reserved.load();
    do {
        if (n > budget || now > budget - n) return false;
    } while (!g_reserved.compare_exchange_weak(now, now + n));
    return true;
}

void ReleaseMemory(uint64_t n) {
    if (n) g_reserved.fetch_sub(n);
}

uint64_t MemoryReserved() { return g_reserved.load(); }

bool MemoryShare::Resize(uint64_t bytes) {
    if (bytes > bytes_) {
        if (!ReserveMemory(bytes - bytes_)) return false;
    } else {
        ReleaseMemory(bytes_ - bytes);
    }
    bytes_ = bytes;
    return true;
}

}  // namespace zk
