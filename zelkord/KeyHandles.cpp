#include "zelkord/KeyHandles.h"

#include <atomic>

namespace zkd {

ZKTokenKey NewKeyHandle() {
    static std::atomic<ZKTokenKey> next{1};
    return next++;
}

}  // namespace zkd
