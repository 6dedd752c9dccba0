#include "base/RequestContext.h"

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

ScopedRequest::ScopedRequest(const RequestContext& context) : previous_(t_current) { t_current = &context; }

ScopedRequest::~ScopedRequest() { t_current = previous_; }

}  // namespace zk
