#include "platform/Dispatch.hpp"

namespace platform {

MainQueue& MainQueue::shared() {
    static MainQueue queue;
    return queue;
}

void MainQueue::async(Block block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    changed_.notify_all();
}

void MainQueue::run() {
    std::unique_lock lock(mutex_);
    mainThread_ = std::this_thread::get_id();
    stopping_ = false;
    for (;;) {
        changed_.wait(lock, [this] { return !blocks_.empty() || stopping_; });
        if (blocks_.empty()) {
            break;
        }
        Block block = std::move(blocks_.front());
        blocks_.pop_front();
        lock.unlock();
        block();
        block = nullptr;  // release what the block captured before taking the lock again
        lock.lock();
    }
    mainThread_.reset();
    stopping_ = false;
}

void MainQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void MainQueue::waitUntilDrained() {
    if (!isServed() || isMainThread()) {
        return;
    }
    DispatchSemaphore done;
    async([&done] { done.signal(); });
    done.wait();
}

bool MainQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return mainThread_ == std::this_thread::get_id();
}

bool MainQueue::isServed() const {
    std::lock_guard lock(mutex_);
    return mainThread_.has_value();
}

void DispatchSemaphore::signal() {
    // Notified under the lock: a waiter may destroy the semaphore as soon as wait() returns.
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_one();
}

void DispatchSemaphore::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

MainQueueThread::MainQueueThread() {
    DispatchSemaphore started;
    thread_ = std::thread([&started] {
        MainQueue::shared().async([&started] { started.signal(); });
        MainQueue::shared().run();
    });
    started.wait();
}

MainQueueThread::~MainQueueThread() {
    MainQueue::shared().stop();
    thread_.join();
}

}  // namespace platform
