#include "http/WorkerPool.h"

#include <exception>

#include "base/Log.h"
#include "provider/Provider.h"

namespace zk::http {

WorkerPool::WorkerPool(int threads) {
    running_ = threads;
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Run(); });
}

WorkerPool::~WorkerPool() {
    if (!Stop(std::chrono::hours(24 * 365)))
        for (auto& t : threads_) t.detach();
}

bool WorkerPool::Post(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
    return true;
}

WorkerPool::Woken WorkerPool::Wake() {
    size_t waiting;
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty() || sleeping_ == 0) return Woken::Enough;  // busy threads take what waits
        if (sleeping_ < running_) return Woken::NudgeLater;
        waiting = jobs_.size();
    }
    wake_.notify_one();
    // The one thread woken may be held by its job: the nudge wakes others
    // for the rest, unless they have been taken by then.
    return waiting > 1 ? Woken::NudgeLater : Woken::Enough;
}

int WorkerPool::SleepingThreads() {
    std::lock_guard lock(mutex_);
    return sleeping_;
}

bool WorkerPool::Nudge() {
    size_t waiting;
    bool wake;
    {
        std::lock_guard lock(mutex_);
        waiting = jobs_.size();
        wake = waiting > 0 && sleeping_ > 0;
    }
    if (wake) wake_.notify_one();
    return wake && waiting > 1;
}

// A job that throws ends, not its thread (the front end's jobs answer their
// own failures; this is the last guard).
void WorkerPool::RunOne(const std::function<void()>& job) {
    try {
        job();
    } catch (const std::exception& e) {
        ZLOG("WorkerPool", "A job failed: %s", e.what());
    } catch (...) {
        ZLOG("WorkerPool", "A job failed");
    }
}

void WorkerPool::Run() {
    provider::ProviderThreadAttach();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ++sleeping_;
            wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            --sleeping_;
            if (stopping_) break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        RunOne(job);
    }
    provider::ProviderThreadDetach();
    std::lock_guard lock(mutex_);
    --running_;
    ended_.notify_all();
}

bool WorkerPool::Stop(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (joined_) return true;
    stopping_ = true;
    jobs_.clear();
    wake_.notify_all();
    if (!ended_.wait_for(lock, limit, [&] { return running_ == 0; })) return false;
    lock.unlock();
    for (auto& t : threads_) t.join();
    joined_ = true;
    return true;
}

}  // namespace zk::http
