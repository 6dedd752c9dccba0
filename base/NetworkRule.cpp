#include "base/NetworkRule.h"

#include "base/RequestContext.h"
#include "base/Settings.h"

namespace zk {

NetworkRule CurrentNetworkRule() {
    NetworkRule rule;
    rule.page = !CurrentRequest().origin.empty();
    rule.publicOnly = rule.page && !Host().allowPrivateTargets;
    return rule;
}

}  // namespace zk
