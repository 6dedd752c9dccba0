#include "zelkord/GiveUp.h"

#include <atomic>
#include <string>

#include "zelkord/Errors.h"
#include "zelkord/Registry.h"

namespace zkd {
namespace {

std::atomic<ZKGiveUpCheck> g_check{nullptr};

}  // namespace

void SetGiveUpCheck(ZKGiveUpCheck check) { g_check.store(check); }

bool GivenUp() {
    ZKGiveUpCheck check = g_check.load(std::memory_order_relaxed);
    return check && check() != 0;
}

int FailGivenUp(const char* what) {
    return Fail(ZK_E_USER_DECLINED, std::string(what) + ": the request was given up");
}

ZKD_EXPORT(ZKLSVC_SetGiveUpCheck, SetGiveUpCheck);

}  // namespace zkd
