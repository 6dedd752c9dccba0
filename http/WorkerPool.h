// A fixed set of threads that run the commands. Each thread announces itself
// to the provider library when it starts and when it ends.
#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zk::http {

class WorkerPool {
public:
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a job; false once the pool is stopping.
    bool Post(std::function<void()> job);

    // Drops the jobs not yet started and waits up to limit for the running
    // ones; true when every thread has ended (they are joined then).
    bool Stop(std::chrono::milliseconds limit);

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_, ended_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    int running_ = 0;
    bool stopping_ = false;
    bool joined_ = false;
};

}  // namespace zk::http
