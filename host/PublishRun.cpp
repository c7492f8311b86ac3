#include "host/PublishRun.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>

#include "host/CommandOutput.hpp"
#include "host/Interrupts.hpp"
#include "host/ProgressDisplay.hpp"
#include "host/Terminal.hpp"
#include "platform/PreferenceStore.hpp"
#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria::host {
namespace fs = std::filesystem;
using terminal::visible;

namespace {

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first few names, then how many more: a long list would fill the terminal.
std::string joined(const std::vector<std::string>& names) {
    constexpr std::size_t shown = 5;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < shown; ++i) {
        text += (text.empty() ? "" : ", ") + visible(names[i]);
    }
    if (names.size() > shown + 1) {
        text += " and " + std::to_string(names.size() - shown) + " more";
    } else if (names.size() == shown + 1) {
        text += ", " + visible(names.back());
    }
    return text;
}

// Where a publish shows its progress. A bar goes to the terminal: standard output, or standard
// error when standard output is captured (link=$(galvoria-host publish ...) still shows the bar).
// Without a terminal, one plain line per file; with --json those go to standard error, as
// standard output then carries only the document.
struct ProgressChannel {
    ProgressDisplay::Style style;
    bool (*write)(std::string_view);
    std::function<int()> width;

    // Whether the progress's stream or standard output can no longer be written.
    [[nodiscard]] bool closed() const {
        return terminal::outputClosed() || (write == terminal::err && terminal::errorClosed());
    }
};

ProgressChannel progressChannel(const PublishOptions& options) {
    if (options.quiet) {
        return {ProgressDisplay::Style::none, terminal::out, nullptr};
    }
    if (!options.json && terminal::outputIsTerminal()) {
        return {ProgressDisplay::Style::bar, terminal::out, terminal::columns};
    }
    if (terminal::errorIsTerminal()) {
        return {ProgressDisplay::Style::bar, terminal::err, terminal::errorColumns};
    }
    return {ProgressDisplay::Style::lines, options.json ? terminal::err : terminal::out, nullptr};
}

// Calls `check` every tenth of a second while it lives: a reader of the output that leaves while a
// file is in flight is noticed before the plugin goes on to the next file.
class OutputWatch {
public:
    explicit OutputWatch(std::function<void()> check)
        : thread_([this, check = std::move(check)] {
              std::unique_lock lock(mutex_);
              while (!ended_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; })) {
                  check();
              }
          }) {}
    ~OutputWatch() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        thread_.join();
    }
    OutputWatch(const OutputWatch&) = delete;
    OutputWatch& operator=(const OutputWatch&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;  // last: it starts once the rest is in place
};

// The plugin's text before its list of the files left out, up to the colon.
std::string headlineOf(const std::string& text) { return text.substr(0, text.find(": ") + 1); }

// Each file's outcome from what the plugin answered: the files its text names as left out, with
// their reasons; the others published. `processed` files were gone through by the plugin.
void settleFiles(TaskOutcome& outcome, std::size_t processed) {
    std::vector<std::string> names;
    for (const auto& file : outcome.files) {
        names.push_back(file.name);
    }
    auto markRead = [&outcome, &names](const std::string& text) {
        const auto failed = failedFilesIn(text, names);
        if (!failed) {
            return false;
        }
        for (auto& file : outcome.files) {
            file.status = FileStatus::published;
        }
        for (const auto& entry : *failed) {
            outcome.files[entry.index].status = FileStatus::notPublished;
            outcome.files[entry.index].reason = entry.reason;
        }
        return true;
    };
    auto markProcessed = [&outcome, processed](FileStatus status) {
        for (std::size_t i = 0; i < outcome.files.size() && i < processed; ++i) {
            outcome.files[i].status = status;
        }
    };
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            markProcessed(FileStatus::published);
            break;
        case TaskOutcome::Kind::partial: {
            const std::string message = outcome.result->message().value_or("");
            if (markRead(message)) {
                outcome.failureHeadline = headlineOf(message);
            } else {
                markProcessed(FileStatus::sent);  // a text of another form: the outcome stays untold
            }
            break;
        }
        case TaskOutcome::Kind::failed: {
            const std::string reason = outcome.error.localizedFailureReason();
            if (markRead(reason)) {
                outcome.failureHeadline = headlineOf(reason);
            } else {
                // A creation or a refusal stops the task before any file; otherwise every file
                // that was gone through failed.
                markProcessed(FileStatus::notPublished);
            }
            break;
        }
        case TaskOutcome::Kind::interrupted:
        case TaskOutcome::Kind::cancelled:
        case TaskOutcome::Kind::outputClosed:
            markProcessed(FileStatus::sent);
            break;
    }
}

// The files left out, one a line with its reason, under the plugin's headline.
std::string failedFilesText(const TaskOutcome& outcome, std::string_view indent) {
    std::string text;
    for (const auto& file : outcome.files) {
        if (file.status == FileStatus::notPublished) {
            text.append("\n").append(indent).append(visible(file.name));
            if (!file.reason.empty()) {
                text.append(" (").append(visible(file.reason)).append(")");
            }
        }
    }
    return text;
}

// Where the files went, for a publish stopped before the plugin gave the link: the service's
// link to the project's library and the identifiers.
std::string whereSentText(const Destination& destination) {
    std::string text;
    const auto project = destination.projectId();
    if (project) {
        text += "Library: " + visible(libraryLink(*project)) + "\n";
        text += "Project: " + visible(*project) + "\n";
    }
    if (destination.createdFolderId) {
        text += "Folder:  " + visible(*destination.createdFolderId) + "\n";
    }
    return text;
}

}  // namespace

std::string_view kindName(TaskOutcome::Kind kind) {
    switch (kind) {
        case TaskOutcome::Kind::completed:
            return "completed";
        case TaskOutcome::Kind::partial:
            return "partial";
        case TaskOutcome::Kind::failed:
            return "failed";
        case TaskOutcome::Kind::interrupted:
            return "interrupted";
        case TaskOutcome::Kind::cancelled:
            return "cancelled";
        case TaskOutcome::Kind::outputClosed:
            return "outputClosed";
    }
    return "failed";
}

std::vector<PublishedFile> taskFiles(const co::TaskPtr& task, TaskOutcome& outcome) {
    std::vector<PublishedFile> files;
    for (const auto& path : task->files().value_or(std::vector<std::string>{})) {
        std::error_code ignored;
        const auto bytes = fs::file_size(path, ignored);
        files.push_back({lastPathComponent(path), ignored ? 0 : static_cast<std::uint64_t>(bytes)});
        outcome.files.push_back({files.back().name, FileStatus::notSent, {}});
    }
    return files;
}

void concludeTask(TaskOutcome& outcome, bool interrupted, bool outputGone, std::uint64_t processed) {
    const bool hasLink = outcome.result && outcome.result->url();
    if (interrupted && !hasLink) {
        outcome.kind = TaskOutcome::Kind::interrupted;
    } else if (outputGone && !hasLink) {
        outcome.kind = TaskOutcome::Kind::outputClosed;
    } else if (!outcome.result) {
        outcome.kind = TaskOutcome::Kind::failed;
    } else if (!hasLink) {
        outcome.kind = TaskOutcome::Kind::cancelled;
    } else if (outcome.result->message().value_or("") == completedMessage) {
        outcome.kind = TaskOutcome::Kind::completed;
    } else {
        outcome.kind = TaskOutcome::Kind::partial;
    }
    settleFiles(outcome, processed);
}

namespace {

// The last-created folder and project as the store notes them now, read in one go.
CreationWatch::Created lastCreated() {
    const auto values = platform::PreferenceStore::standard().dictionary();
    const auto value = [&values](std::string_view key) -> std::optional<std::string> {
        const auto found = values.find(std::string(key));
        return found == values.end() ? std::nullopt : std::optional(found->second);
    };
    return {value(prefs::lastCreatedFolder), value(prefs::lastCreatedProject)};
}

}  // namespace

CreationWatch::CreationWatch() {
    auto before = lastCreated();
    folderBefore_ = std::move(before.folder);
    projectBefore_ = std::move(before.project);
}

CreationWatch::Created CreationWatch::created() const {
    auto now = lastCreated();
    return {now.folder != folderBefore_ ? std::move(now.folder) : std::nullopt,
            now.project != projectBefore_ ? std::move(now.project) : std::nullopt};
}

TaskOutcome runTask(PluginSession& session, const co::TaskPtr& task, const PublishOptions& options) {
    TaskOutcome outcome;
    auto files = taskFiles(task, outcome);
    // A closed output cancels the task as Ctrl-C does: the file in flight finishes its exchange and
    // no other file is sent. A failed write to the progress's stream tells at once; the streams are
    // also looked at before the first file and while the files go.
    const auto channel = progressChannel(options);
    std::atomic<bool> outputGone{false};
    auto stopIfClosed = [&task, &outputGone](bool closed) {
        if (closed && !outputGone.exchange(true)) {
            task->setCancelled(true);
        }
    };
    ProgressDisplay display(
        channel.style, files, [&](std::string_view text) { stopIfClosed(!channel.write(text)); }, channel.width);

    const interrupts::CancelScope scope(
        task, [&display] { display.note("Stopping after the current file (press Ctrl-C again to stop at once)..."); });
    display.start();
    stopIfClosed(channel.closed());
    if (!outputGone) {
        const OutputWatch watch([&] { stopIfClosed(channel.closed()); });
        outcome.result = session.publish(
            task, &outcome.error,
            [&](const co::TaskPtr&, std::uint64_t completed, std::uint64_t total, const std::string& message) {
                display.report(completed, total, message);
                stopIfClosed(channel.closed());
            });
    }
    display.finish();
    concludeTask(outcome, scope.cancelled(), outputGone, display.completed());
    return outcome;
}

int exitStatusOf(TaskOutcome::Kind kind) {
    switch (kind) {
        case TaskOutcome::Kind::completed:
            return exitSuccess;
        case TaskOutcome::Kind::interrupted:
            return interrupts::interruptedStatus;
        default:
            return exitFailure;
    }
}

void reportOutcome(const TaskOutcome& outcome, const Destination& destination, bool json) {
    const auto say = json ? terminal::err : terminal::out;
    const auto link = outcome.result ? outcome.result->url() : std::nullopt;
    const auto message = outcome.result ? outcome.result->message() : std::nullopt;
    const auto processed = outcome.processed();
    switch (outcome.kind) {
        case TaskOutcome::Kind::completed:
            say(std::string(completedMessage) + "\n");
            break;
        case TaskOutcome::Kind::partial:
            failWith(outcome.failureHeadline ? visible(*outcome.failureHeadline) + failedFilesText(outcome, "  ")
                                             : visible(message.value_or("Not every file was published.")));
            break;
        case TaskOutcome::Kind::failed:
            if (outcome.failureHeadline) {
                failWith(visible(outcome.error.localizedDescription()) + "\n  " + visible(*outcome.failureHeadline) +
                         failedFilesText(outcome, "    "));
            } else {
                failWith(errorText(outcome.error, "Publishing failed."));
            }
            break;
        case TaskOutcome::Kind::interrupted:
        case TaskOutcome::Kind::outputClosed: {
            const auto notSent = outcome.named({FileStatus::notSent});
            std::string text =
                std::string(outcome.kind == TaskOutcome::Kind::interrupted ? "Interrupted"
                                                                           : "The output was closed: stopped") +
                " after " + std::to_string(processed.size()) + " of " + std::to_string(outcome.files.size()) + " files";
            text += processed.empty() ? "." : ": " + joined(processed) + ".";
            if (!notSent.empty()) {
                text += " Not sent: " + joined(notSent) + ".";
            }
            terminal::err(text + "\n");
            break;
        }
        case TaskOutcome::Kind::cancelled:
            failWith("Publishing was cancelled.");
            break;
    }
    if (link) {
        say("Library: " + visible(*link) + "\n");
    } else if (outcome.anyArrived()) {
        say(whereSentText(destination));
    }
}

co::Value outcomeJson(const TaskOutcome& outcome, const Destination& destination) {
    co::Value out = {{"status", kindName(outcome.kind)}};
    if (outcome.result && outcome.result->url()) {
        out["url"] = *outcome.result->url();
    } else if (const auto project = destination.projectId(); project && outcome.anyArrived()) {
        out["url"] = libraryLink(*project);
    }
    if (outcome.result && outcome.result->message()) out["message"] = *outcome.result->message();
    if (outcome.kind == TaskOutcome::Kind::failed && !outcome.error.empty()) out["error"] = errorJson(outcome.error);
    co::Value files = co::Value::array();
    co::Value notPublished = co::Value::array();
    for (const auto& file : outcome.files) {
        co::Value entry = {{"name", file.name}, {"status", statusName(file.status)}};
        if (file.status == FileStatus::notPublished) {
            entry["reason"] = file.reason;
            notPublished.push_back({{"name", file.name}, {"reason", file.reason}});
        }
        files.push_back(std::move(entry));
    }
    out["processed"] = outcome.processed();
    out["published"] = outcome.named({FileStatus::published});
    out["notPublished"] = std::move(notPublished);
    out["notSent"] = outcome.named({FileStatus::notSent});
    out["outcomes"] = std::move(files);
    return out;
}

}  // namespace galvoria::host
