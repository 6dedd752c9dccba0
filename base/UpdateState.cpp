#include "base/UpdateState.h"

#include <mutex>

namespace zk {
namespace {

std::mutex g_lock;
UpdateState g_state;

}  // namespace

UpdateState CurrentUpdateState() {
    std::lock_guard guard(g_lock);
    return g_state;
}

void PublishUpdateState(const UpdateState& state) {
    std::lock_guard guard(g_lock);
    g_state = state;
}

}  // namespace zk
