// One running instance per user session: an exclusive lock on a file named
// after the instance mutex, in $XDG_RUNTIME_DIR (else /tmp/ZelkorH-<uid>/).
// The lock goes with the process, so a crashed instance never blocks a start.
#pragma once
#include <string>

namespace zk {

class SingleInstance {
public:
    enum class Wait { No, Forever };

    // Takes the lock named name; with Wait::Forever blocks until the running
    // instance has ended. held() tells whether it was taken.
    SingleInstance(const std::string& name, Wait wait);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool held() const { return fd_ >= 0; }
    void Release();

    // The folder that holds the lock files.
    static std::string LockFolder();

private:
    int fd_ = -1;
};

}  // namespace zk
