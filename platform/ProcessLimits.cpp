#include "platform/ProcessLimits.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace zk::process {

void ProtectProcess() {
    umask(077);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

uint64_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur;
}

void EndNow(int exitCode) {
    fflush(nullptr);
    _exit(exitCode);
}

}  // namespace zk::process
