#include "base/RequestContext.h"

#include "base/Settings.h"

namespace zk {
namespace {

const RequestContext kNoRequest;
thread_local const RequestContext* t_current = &kNoRequest;

}  // namespace

const RequestContext& CurrentRequest() { return *t_current; }

bool RequestCancelled() {
    const std::atomic<bool>* flag = t_current->cancelled;
    return flag && flag->load(std::memory_order_relaxed);
}

bool ChargeRequestOutput(uint64_t bytes) {
    RequestWork* work = t_current->work;
    if (!work) return true;
    const uint64_t limit = Host().maxBody;
    if (bytes > limit || work->produced > limit - bytes) return false;
    if (!work->memory.Resize(work->memory.bytes() + bytes)) {
        work->busy = true;
        return false;
    }
    work->produced += bytes;
    return true;
}

ScopedRequest::ScopedRequest(const RequestContext& context) : previous_(t_current) { t_current = &context; }

ScopedRequest::~ScopedRequest() { t_current = previous_; }

}  // namespace zk
