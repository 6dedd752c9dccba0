// Changes in folders: a thread that waits for the kernel's notices (inotify)
// of files made, written, moved or deleted in a set of folders, and calls
// back once per burst. It lets the certificate list notice a file the user
// drops into a key folder, as MountWatch lets it notice a medium.
#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zk {

class FolderWatch {
public:
    // Folders watched at most; the kernel's own per-user limit is shared
    // with every other program of the user.
    static constexpr size_t kMaxFolders = 512;

    FolderWatch() = default;
    ~FolderWatch() { Stop(); }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Calls onChange on the watch thread after each burst of changes in the
    // watched folders, and when the kernel's queue of notices overflowed (a
    // change may have been lost). False when nothing can be watched.
    bool Start(std::function<void()> onChange);
    // Watches exactly these folders from now on (the first kMaxFolders of
    // them; each folder alone, not its subfolders); safe from any thread.
    void Watch(const std::vector<std::string>& folders);
    void Stop();

private:
    std::thread thread_;
    std::mutex lock_;  // the watch descriptors
    std::vector<int> watches_;
    int notifyFd_ = -1;
    int stopFd_ = -1;
};

}  // namespace zk
