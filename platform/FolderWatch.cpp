#include "platform/FolderWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <future>

namespace zk {
namespace {

// What changes a folder's files; reading them changes nothing.
constexpr uint32_t kChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                              IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A burst of notices (a folder of files copied in) is let settle this long.
constexpr int kSettleMs = 100;

// Reads every notice queued; true when any tells of a change (or of lost
// notices). A watch given up (its folder gone, or no longer asked for) is
// no change of its own.
bool Drain(int fd) {
    alignas(inotify_event) char buffer[16384];
    bool changed = false;
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & (kChanges | IN_Q_OVERFLOW)) changed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return changed;
}

}  // namespace

bool FolderWatch::Start(std::function<void()> onChange) {
    Stop();
    notifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (notifyFd_ < 0 || stopFd_ < 0) {
        Stop();
        return false;
    }
    std::promise<void> started;
    thread_ = std::thread([this, &started, onChange = std::move(onChange)] {
        started.set_value();
        for (;;) {
            pollfd fds[2] = {{notifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN) || !Drain(notifyFd_)) continue;
            pollfd settle[2] = {{notifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            while (poll(settle, 2, kSettleMs) > 0) {
                if (settle[1].revents) return;
                Drain(notifyFd_);
            }
            onChange();
        }
    });
    started.get_future().wait();
    return true;
}

void FolderWatch::Watch(const std::vector<std::string>& folders) {
    std::lock_guard hold(lock_);
    if (notifyFd_ < 0) return;
    // A folder watched already keeps its descriptor: only the ones no longer
    // asked for are given up.
    std::vector<int> now;
    for (const std::string& folder : folders) {
        if (now.size() >= kMaxFolders) break;
        const int wd = inotify_add_watch(notifyFd_, folder.c_str(), kChanges);
        if (wd >= 0 && std::find(now.begin(), now.end(), wd) == now.end()) now.push_back(wd);
    }
    for (int wd : watches_)
        if (std::find(now.begin(), now.end(), wd) == now.end()) inotify_rm_watch(notifyFd_, wd);
    watches_ = std::move(now);
}

void FolderWatch::Stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t n = write(stopFd_, &one, sizeof one);
        (void)n;
        thread_.join();
    }
    std::lock_guard hold(lock_);
    watches_.clear();
    if (notifyFd_ >= 0) close(notifyFd_);
    if (stopFd_ >= 0) close(stopFd_);
    notifyFd_ = stopFd_ = -1;
}

}  // namespace zk
