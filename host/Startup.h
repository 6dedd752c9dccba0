// Start-up, the main loop and shutdown of the service.
#pragma once

namespace zk {

// The whole life of the process; returns its exit code.
int RunService(int argc, char** argv);

}  // namespace zk
