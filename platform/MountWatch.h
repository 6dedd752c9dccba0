// Device changes: a thread that waits for the mount table to change (a
// removable medium mounted or unmounted) and calls back: how the service
// learns that drives came or went.
#pragma once
#include <functional>
#include <string>
#include <thread>

namespace zk {

class MountWatch {
public:
    MountWatch() = default;
    ~MountWatch() { Stop(); }
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    // Calls onChange on the watch thread after each change of the mount
    // table (mountInfo: a /proc/<pid>/mountinfo file). False when it cannot
    // be watched.
    bool Start(std::function<void()> onChange, const std::string& mountInfo = "/proc/self/mountinfo");
    void Stop();

private:
    std::thread thread_;
    int tableFd_ = -1;
    int stopFd_ = -1;
};

}  // namespace zk
