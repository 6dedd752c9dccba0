// The provider's exports and methods table as the binding holds them, read
// by the call engine (Invoke.h). Only the binding (Provider.cpp) writes them.
#pragma once
#include "provider/ZelkorD.h"

namespace zk::provider {

// One bound pointer per export of the contract, in binding order.
struct Exports {
#define ZK_EXPORT_FIELD(ret, name, seq) name##_t name = nullptr;
    ZK_PROVIDER_EXPORTS(ZK_EXPORT_FIELD)
#undef ZK_EXPORT_FIELD
};

const Exports& BoundExports();
const ZKLDProc* BoundMethods();  // nullptr without a methods table
ZKLDContext BoundContext();

}  // namespace zk::provider
