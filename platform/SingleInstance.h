// One running instance per user session: an exclusive lock on a file named
// after the instance mutex, in $XDG_RUNTIME_DIR (else /tmp/ZelkorH-<uid>/).
// The lock goes with the process, so a crashed instance never blocks a start.
#pragma once
#include <chrono>
#include <string>

namespace zk {

class SingleInstance {
public:
    enum class Wait { No, Forever, Bounded };

    // Takes the lock named name; with Wait::Forever blocks until the running
    // instance has ended, with Wait::Bounded for at most `bound`. held()
    // tells whether it was taken.
    SingleInstance(const std::string& name, Wait wait, std::chrono::milliseconds bound = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool held() const { return fd_ >= 0; }
    // Why the lock was not taken when no other instance holds it (the lock
    // folder or file cannot be used), as a message for the user (UTF-8);
    // empty when it was taken or another instance holds it.
    const std::string& failure() const { return failure_; }
    void Release();

    // The folder that holds the lock files: $XDG_RUNTIME_DIR when set, else
    // "<tmp>/ZelkorH-<uid>", created private (0700) and refused when it is
    // not a folder of this user that only this user may write to. Empty when
    // refused, with the message in why.
    static std::string LockFolder(std::string* why = nullptr, const std::string& tmp = "/tmp");

private:
    int fd_ = -1;
    std::string failure_;
};

}  // namespace zk
