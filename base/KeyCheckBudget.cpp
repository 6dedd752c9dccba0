#include "base/KeyCheckBudget.h"

#include "base/RequestContext.h"
#include "platform/CpuTime.h"

namespace zk {
namespace {

using std::chrono::nanoseconds;

// The check running on this thread.
struct Running {
    bool active = false;
    nanoseconds start{0};
};
thread_local Running t_running;

// A served request keeps its account; outside one nothing is kept.
RequestWork* Account() { return CurrentRequest().work; }

nanoseconds Spent() {
    nanoseconds spent = Account() ? Account()->keyCheckTime : nanoseconds{0};
    if (t_running.active) spent += ThreadCpuTime() - t_running.start;
    return spent;
}

}  // namespace

KeyCheckScope::KeyCheckScope() {
    if (t_running.active) return;
    owner_ = true;
    t_running = {true, ThreadCpuTime()};
}

KeyCheckScope::~KeyCheckScope() {
    if (!owner_) return;
    if (RequestWork* account = Account()) account->keyCheckTime += ThreadCpuTime() - t_running.start;
    t_running = {};
}

bool KeyCheckBudgetSpent() { return Spent() >= kKeyCheckBudget; }

extern "C" int ProviderGiveUpCheck(void) {
    return RequestCancelled() || (t_running.active && KeyCheckBudgetSpent()) ? 1 : 0;
}

}  // namespace zk
