#pragma once
// The page's publish: one at a time on a thread of its own, its state kept under a lock for any
// number of listeners, who are woken whenever the plugin reports or the photos change.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/PluginSession.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/ui/PhotoShelf.hpp"

namespace galvoria::host::ui {

// What listeners of the server's events wait on: counters that move with each change.
class EventBoard {
public:
    struct Seen {
        std::uint64_t photos = 0;
        std::uint64_t progress = 0;
        std::uint64_t finished = 0;
        bool stopping = false;
    };

    void photosChanged() {
        bump([](Seen& seen) { ++seen.photos; });
    }
    void progressed() {
        bump([](Seen& seen) { ++seen.progress; });
    }
    void finished() {
        bump([](Seen& seen) { ++seen.finished; });
    }
    void stop() {  // the server stops: every listener leaves
        bump([](Seen& seen) { seen.stopping = true; });
    }
    // Waits until something moved past `seen` or the time is up; returns the counters now.
    Seen wait(const Seen& seen, std::chrono::milliseconds timeout);
    Seen now();

private:
    // Changes the counters under the lock and wakes every listener.
    template <typename Change>
    void bump(Change change) {
        {
            std::lock_guard lock(mutex_);
            change(counters_);
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    Seen counters_;
};

class PublishJob {
public:
    PublishJob(PluginSession& session, std::mutex& pluginMutex, EventBoard& board)
        : session_(session), pluginMutex_(pluginMutex), board_(board) {}
    ~PublishJob();
    PublishJob(const PublishJob&) = delete;
    PublishJob& operator=(const PublishJob&) = delete;

    // Runs the tasks the plugin formed for these photos, with these options; false when a publish
    // is in flight.
    bool start(co::Value settings, std::vector<Photo> photos, std::vector<co::TaskPtr> tasks);
    [[nodiscard]] bool running() const;
    // The person's cancel: no file after the one in flight. False when none is in flight.
    bool cancel();
    // Ctrl-C: the same, and the outcome says it was interrupted. True when one was in flight.
    bool interrupt();
    // Waits for the publish in flight to end.
    void join();

    // The publish's state for the page; null before the first publish.
    [[nodiscard]] co::Value state() const;

private:
    // The cancel of either kind: no file after the one in flight.
    bool stop(bool interrupted);
    void run(co::Value settings, const std::vector<co::TaskPtr>& tasks);
    co::Value stateLocked() const;

    PluginSession& session_;
    std::mutex& pluginMutex_;
    EventBoard& board_;

    mutable std::mutex mutex_;
    bool started_ = false;
    bool running_ = false;
    bool cancelled_ = false;
    bool interrupted_ = false;
    std::vector<Photo> photos_;
    co::TaskPtr task_;                          // the task in flight
    std::unique_ptr<ProgressDisplay> display_;  // its progress
    std::uint64_t completedBefore_ = 0;         // files and bytes of the tasks before it
    std::uint64_t bytesBefore_ = 0;
    std::uint64_t bytesTotal_ = 0;
    std::string message_;
    std::map<std::string, std::string> done_;  // photo id -> "published" or "failed"
    co::Value outcome_;
    std::thread worker_;
};

}  // namespace galvoria::host::ui
