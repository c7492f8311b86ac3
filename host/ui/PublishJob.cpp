#include "host/ui/PublishJob.hpp"

#include "host/CommandOutput.hpp"
#include "host/HostObjects.hpp"
#include "host/PublishRun.hpp"
#include "vocabulary/ItemIdentifiers.hpp"

namespace galvoria::host::ui {
namespace {

// The ending's name for the page, which knows no reader of the output: an output that closed is
// a publish cancelled.
std::string_view pageKindName(TaskOutcome::Kind kind) {
    return kind == TaskOutcome::Kind::outputClosed ? "cancelled" : kindName(kind);
}

// How bad an ending is, to tell the worst of several tasks.
int weight(TaskOutcome::Kind kind) {
    switch (kind) {
        case TaskOutcome::Kind::completed:
            return 0;
        case TaskOutcome::Kind::partial:
            return 1;
        case TaskOutcome::Kind::cancelled:
        case TaskOutcome::Kind::outputClosed:
            return 2;
        case TaskOutcome::Kind::interrupted:
            return 3;
        case TaskOutcome::Kind::failed:
            return 4;
    }
    return 4;
}

std::string failureText(const co::Error& error) {
    const auto description = error.localizedDescription();
    const auto reason = error.localizedFailureReason();
    if (description.empty() && reason.empty()) {
        return "Publishing failed.";
    }
    return reason.empty() ? description : description.empty() ? reason : description + "\n" + reason;
}

std::string messageOf(const TaskOutcome& outcome) {
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            return std::string(completedMessage);
        case TaskOutcome::Kind::partial:
            return outcome.result->message().value_or("Not every file was published.");
        case TaskOutcome::Kind::failed:
            return failureText(outcome.error);
        case TaskOutcome::Kind::interrupted:
            return "Publishing was interrupted: the host is stopping.";
        case TaskOutcome::Kind::cancelled:
        case TaskOutcome::Kind::outputClosed:
            return "Publishing was cancelled.";
    }
    return {};
}

// A list choice that names something on the service (not the placeholder, not "create new").
std::optional<std::string> chosen(const co::Value& settings, std::string_view list) {
    const auto found = settings.find(std::string(list));
    if (found == settings.end() || !found->is_string()) {
        return std::nullopt;
    }
    const auto value = found->get<std::string>();
    if (value.empty() || value == options::placeholderValue || value == options::createNewValue) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

EventBoard::Seen EventBoard::wait(const Seen& seen, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return counters_.stopping || counters_.photos != seen.photos || counters_.progress != seen.progress ||
               counters_.finished != seen.finished;
    });
    return counters_;
}

EventBoard::Seen EventBoard::now() {
    std::lock_guard lock(mutex_);
    return counters_;
}

PublishJob::~PublishJob() { join(); }

bool PublishJob::start(co::Value settings, std::vector<Photo> photos, std::vector<co::TaskPtr> tasks) {
    std::lock_guard lock(mutex_);
    if (running_) {
        return false;
    }
    if (worker_.joinable()) {
        worker_.join();  // the last publish has ended: its thread only returns
    }
    started_ = true;
    running_ = true;
    cancelled_ = false;
    interrupted_ = false;
    photos_ = std::move(photos);
    task_.reset();
    display_.reset();
    completedBefore_ = 0;
    bytesBefore_ = 0;
    bytesTotal_ = 0;
    for (const auto& photo : photos_) {
        bytesTotal_ += photo.size;
    }
    message_.clear();
    done_.clear();
    outcome_ = nullptr;
    worker_ = std::thread([this, settings = std::move(settings), tasks = std::move(tasks)]() mutable {
        run(std::move(settings), tasks);
    });
    return true;
}

bool PublishJob::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool PublishJob::cancel() { return stop(false); }

bool PublishJob::interrupt() { return stop(true); }

bool PublishJob::stop(bool interrupted) {
    std::lock_guard lock(mutex_);
    if (!running_) {
        return false;
    }
    interrupted_ = interrupted_ || interrupted;
    cancelled_ = true;
    if (task_) {
        task_->setCancelled(true);
    }
    return true;
}

void PublishJob::join() {
    std::thread worker;
    {
        std::lock_guard lock(mutex_);
        worker = std::move(worker_);
    }
    if (worker.joinable()) {
        worker.join();
    }
}

void PublishJob::run(co::Value settings, const std::vector<co::TaskPtr>& tasks) {
    co::Value retry = settings;
    co::Value failed = co::Value::array();
    co::Value sent = co::Value::array();  // gone through before a stop, their outcome untold
    std::optional<TaskOutcome::Kind> worst;
    std::optional<std::string> link;
    std::optional<std::string> message;
    co::Value error;
    std::optional<std::string> project = chosen(settings, options::projectList);
    bool anyArrived = false;
    // The photos by the path the task names them with; they do not change while the publish runs.
    std::map<std::string, const Photo*> byPath;
    {
        std::lock_guard lock(mutex_);
        for (const auto& photo : photos_) {
            byPath.emplace(photo.path.string(), &photo);
        }
    }
    for (const auto& task : tasks) {
        if (!task) {
            continue;
        }
        TaskOutcome outcome;
        auto files = taskFiles(task, outcome);
        const auto paths = task->files().value_or(std::vector<std::string>{});
        {
            std::lock_guard lock(mutex_);
            if (cancelled_) {
                break;  // nothing more is sent once cancelled
            }
            task->setSettings(settings);
            task_ = task;
            display_ =
                std::make_unique<ProgressDisplay>(ProgressDisplay::Style::none, std::move(files), nullptr, nullptr);
            display_->start();
        }
        board_.progressed();
        const CreationWatch watch;
        {
            std::lock_guard plugin(pluginMutex_);
            outcome.result = session_.publish(
                task, &outcome.error,
                [this](const co::TaskPtr&, std::uint64_t completed, std::uint64_t total, const std::string& text) {
                    {
                        std::lock_guard lock(mutex_);
                        display_->report(completed, total, text);
                        message_ = text;
                    }
                    board_.progressed();
                });
        }
        bool interrupted = false;
        std::uint64_t processed = 0;
        {
            std::lock_guard lock(mutex_);
            display_->finish();
            processed = display_->completed();
            interrupted = interrupted_;
        }
        concludeTask(outcome, interrupted, false, processed);

        // "Publish these again" goes to what this publish created, by its new identifier.
        const auto created = watch.created();
        if (created.folder) {
            retry[std::string(options::folderList)] = *created.folder;
            retry.erase(std::string(options::newFolder));
        }
        if (created.project) {
            retry[std::string(options::projectList)] = *created.project;
            retry.erase(std::string(options::newProject));
            project = created.project;
        }
        anyArrived = anyArrived || outcome.anyArrived();
        if (outcome.result && outcome.result->url()) {
            link = outcome.result->url();
        }
        if (!worst || weight(outcome.kind) > weight(*worst)) {
            worst = outcome.kind;
            message = messageOf(outcome);
            if (outcome.kind == TaskOutcome::Kind::failed) {
                error = errorToJson(outcome.error);
            }
        }

        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < outcome.files.size() && i < paths.size(); ++i) {
            const auto found = byPath.find(paths[i]);
            if (found == byPath.end()) {
                continue;
            }
            const Photo* photo = found->second;
            const auto& file = outcome.files[i];
            if (file.status == FileStatus::published) {
                done_[photo->id] = "published";
            } else if (file.status == FileStatus::notPublished) {
                done_[photo->id] = "failed";
                failed.push_back({{"id", photo->id}, {"name", photo->name}, {"reason", file.reason}});
            } else if (file.status == FileStatus::sent) {
                sent.push_back(photo->id);
            }
        }
        const auto snapshot = display_->snapshot();
        completedBefore_ += snapshot.completed;
        bytesBefore_ += snapshot.bytesDone;
        display_.reset();
        task_.reset();
    }

    std::lock_guard lock(mutex_);
    // No task ran: it was stopped before the first.
    const auto kind = worst.value_or(interrupted_ ? TaskOutcome::Kind::interrupted : TaskOutcome::Kind::cancelled);
    co::Value outcome = {{"kind", pageKindName(kind)}};
    if (!link && anyArrived && project) {
        link = libraryLink(*project);
    }
    outcome["url"] = link ? co::Value(*link) : co::Value(nullptr);
    outcome["message"] = message ? *message : messageOf(TaskOutcome{.kind = kind});
    outcome["failed"] = std::move(failed);
    outcome["sent"] = std::move(sent);
    outcome["retrySettings"] = std::move(retry);
    if (!error.is_null()) {
        outcome["error"] = std::move(error);
    }
    outcome_ = std::move(outcome);
    running_ = false;
    board_.finished();
}

co::Value PublishJob::state() const {
    std::lock_guard lock(mutex_);
    return stateLocked();
}

co::Value PublishJob::stateLocked() const {
    if (!started_) {
        return nullptr;
    }
    const auto snapshot = display_ ? display_->snapshot() : ProgressSnapshot{};
    co::Value ids = co::Value::array();
    for (const auto& photo : photos_) {
        ids.push_back(photo.id);
    }
    co::Value state = {{"running", running_}, {"photos", std::move(ids)}};
    state["completed"] = completedBefore_ + snapshot.completed;
    state["total"] = photos_.size();
    state["bytesDone"] = bytesBefore_ + snapshot.bytesDone;
    state["bytesTotal"] = bytesTotal_;
    state["current"] = running_ && !snapshot.current.empty() ? co::Value(snapshot.current) : co::Value(nullptr);
    state["bytesPerSecond"] = snapshot.bytesPerSecond ? co::Value(*snapshot.bytesPerSecond) : co::Value(nullptr);
    state["secondsLeft"] = snapshot.secondsLeft ? co::Value(*snapshot.secondsLeft) : co::Value(nullptr);
    state["message"] = message_;
    co::Value done = co::Value::object();
    for (const auto& [id, status] : done_) {
        done[id] = status;
    }
    state["done"] = std::move(done);
    state["outcome"] = outcome_;
    return state;
}

}  // namespace galvoria::host::ui
