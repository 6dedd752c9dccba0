// CPU time of the calling thread, for work that has a budget of its own
// (time spent waiting does not count).
#pragma once
#include <chrono>

namespace zk {

std::chrono::nanoseconds ThreadCpuTime();

}  // namespace zk
