#include "platform/MessageLoop.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace zk::loop {
namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable done;
    std::deque<std::function<void()>> work;
    std::optional<int> quit;
    bool running = false;
    bool ended = false;
    std::thread::id owner;
    int wakeFd = -1;
};

Queue& Q() {
    static Queue q;
    return q;
}

sigset_t QuitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

int WakeFd() {
    Queue& q = Q();
    std::lock_guard lock(q.mutex);
    if (q.wakeFd < 0) q.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return q.wakeFd;
}

void Wake() {
    uint64_t one = 1;
    ssize_t n = write(WakeFd(), &one, sizeof one);
    (void)n;  // a full counter still wakes the loop
}

}  // namespace

void BlockQuitSignals() {
    sigset_t set = QuitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int Run() {
    Queue& q = Q();
    sigset_t set = QuitSignals();
    int sigFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    int wakeFd = WakeFd();
    {
        std::lock_guard lock(q.mutex);
        q.running = true;
        q.ended = false;
        q.owner = std::this_thread::get_id();
    }
    int exitCode = 0;
    for (;;) {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(q.mutex);
            batch.swap(q.work);
        }
        for (auto& work : batch) work();
        {
            std::lock_guard lock(q.mutex);
            if (q.work.empty() && q.quit) {
                exitCode = *q.quit;
                break;
            }
            if (!q.work.empty()) continue;
        }
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {sigFd, POLLIN, 0}};
        if (poll(fds, sigFd >= 0 ? 2 : 1, -1) < 0) continue;  // EINTR
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t n = read(wakeFd, &count, sizeof count);
            (void)n;
        }
        if (sigFd >= 0 && (fds[1].revents & POLLIN)) {
            signalfd_siginfo info;
            while (read(sigFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) PostQuit(0);
        }
    }
    if (sigFd >= 0) close(sigFd);
    std::deque<std::function<void()>> leftover;
    {
        std::lock_guard lock(q.mutex);
        q.running = false;
        q.ended = true;
        q.quit.reset();
        leftover.swap(q.work);
    }
    q.done.notify_all();  // senders waiting for work that will not run now return
    return exitCode;
}

void Post(std::function<void()> work) {
    Queue& q = Q();
    {
        std::lock_guard lock(q.mutex);
        q.work.push_back(std::move(work));
    }
    Wake();
}

bool Send(std::function<void()> work) {
    Queue& q = Q();
    std::unique_lock lock(q.mutex);
    if (q.ended) return false;
    if (q.running && q.owner == std::this_thread::get_id()) {
        lock.unlock();
        work();
        return true;
    }
    bool finished = false;
    q.work.push_back([&] {
        work();
        std::lock_guard l(q.mutex);
        finished = true;
        q.done.notify_all();
    });
    lock.unlock();
    Wake();
    lock.lock();
    q.done.wait(lock, [&] { return finished || q.ended; });
    return finished;
}

void PostQuit(int exitCode) {
    Queue& q = Q();
    {
        std::lock_guard lock(q.mutex);
        if (!q.quit) q.quit = exitCode;
    }
    Wake();
}

}  // namespace zk::loop
