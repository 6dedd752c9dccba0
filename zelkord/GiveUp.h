// Whether the host has given up the request the calling thread serves: its
// client is gone, the service is stopping, or the request's budget for the
// work is spent. The host hands the check over when it loads the library
// (ZKLSVC_SetGiveUpCheck); long work asks at the points where it can stop
// and ends with ZK_E_USER_DECLINED (nobody waits for its answer).
#pragma once

#include "provider/ZelkorD.h"

namespace zkd {

void SetGiveUpCheck(ZKGiveUpCheck check);

// The host's answer; false while no check is handed over.
bool GivenUp();

// Records the end of work given up as the last error: returns 50.
int FailGivenUp(const char* what);

}  // namespace zkd
