// Handles the host holds for keys that stay open between calls: connected
// token keys and keys kept open for the host come from one counter, so that a
// handle names one of them only.
#pragma once
#include "provider/ZelkorD.h"

namespace zkd {

// A new handle (never 0).
ZKTokenKey NewKeyHandle();

}  // namespace zkd
