#pragma once
// The main dispatch queue and counting semaphores.
//
// The main queue runs posted blocks one at a time, in posting order, on the thread that serves it
// (the host's main thread). Blocking calls wait on a semaphore for a handler that runs there, so
// such a call must never be made on that thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace platform {

class MainQueue {
public:
    using Block = std::function<void()>;

    static MainQueue& shared();

    // Posts a block; returns at once.
    void async(Block block);
    // Serves the queue on the calling thread, which becomes the main thread, until stop().
    void run();
    // Ends run() once the blocks already posted have run.
    void stop();
    // Blocks the caller until every block posted before this call has run. Must not be called on the
    // main thread; returns at once when no thread serves the queue.
    void waitUntilDrained();

    [[nodiscard]] bool isMainThread() const;
    [[nodiscard]] bool isServed() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> blocks_;
    std::optional<std::thread::id> mainThread_;
    bool stopping_ = false;
};

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(std::int64_t count = 0) : count_(count) {}
    void signal();
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::int64_t count_;
};

// Serves the shared main queue on a thread of its own for as long as it lives: for programs and
// tests whose own main thread is busy elsewhere.
class MainQueueThread {
public:
    MainQueueThread();
    ~MainQueueThread();
    MainQueueThread(const MainQueueThread&) = delete;
    MainQueueThread& operator=(const MainQueueThread&) = delete;

private:
    std::thread thread_;
};

}  // namespace platform
