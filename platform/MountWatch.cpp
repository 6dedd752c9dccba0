#include "platform/MountWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <future>

namespace zk {

bool MountWatch::Start(std::function<void()> onChange, const std::string& mountInfo) {
    Stop();
    tableFd_ = open(mountInfo.c_str(), O_RDONLY | O_CLOEXEC);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (tableFd_ < 0 || stopFd_ < 0) {
        Stop();
        return false;
    }
    std::promise<void> started;
    thread_ = std::thread([this, &started, onChange = std::move(onChange)] {
        started.set_value();
        // The kernel marks the table POLLPRI (with POLLERR) after each change;
        // reading it afresh clears the mark.
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{tableFd_, POLLPRI, 0}, {stopFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            if (fds[0].revents & (POLLPRI | POLLERR)) {
                lseek(tableFd_, 0, SEEK_SET);
                while (read(tableFd_, buffer, sizeof buffer) > 0) {
                }
                onChange();
            }
        }
    });
    started.get_future().wait();  // running before the service takes connections
    return true;
}

void MountWatch::Stop() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        ssize_t n = write(stopFd_, &one, sizeof one);
        (void)n;
        thread_.join();
    }
    if (tableFd_ >= 0) close(tableFd_);
    if (stopFd_ >= 0) close(stopFd_);
    tableFd_ = stopFd_ = -1;
}

}  // namespace zk
