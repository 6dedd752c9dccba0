// A fixed set of threads that run the commands. Each thread announces itself
// to the provider library when it starts and when it ends.
//
// Waking a thread costs more than a short command, so the caller posts all
// the jobs it has and then calls Wake once. Jobs posted while other jobs run
// are left for those threads to take when they finish; the caller nudges the
// pool a moment later (Nudge), which wakes a sleeping thread for any job still
// waiting, so that a long job never holds up others.
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
    enum class Woken { Enough, NudgeLater };
    // Wakes a sleeping thread when no thread is busy and jobs wait.
    // NudgeLater: busy threads will most likely take the jobs; call Nudge() shortly.
    Woken Wake();
    // Wakes one sleeping thread when a job is still waiting; true when more
    // jobs wait than that (nudge again a moment later).
    bool Nudge();

    // Threads waiting for a job now.
    int SleepingThreads();

    // Drops the jobs not yet started and waits up to limit for the running
    // ones; true when every thread has ended (they are joined then).
    bool Stop(std::chrono::milliseconds limit);

private:
    void Run();
    static void RunOne(const std::function<void()>& job);

    std::mutex mutex_;
    std::condition_variable wake_, ended_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    int running_ = 0;   // threads alive
    int sleeping_ = 0;  // threads waiting for a job
    bool stopping_ = false;
    bool joined_ = false;
};

}  // namespace zk::http
