#pragma once
// One publish task run with a progress display, and its outcome as the person and a script read
// it: each file's fate, the exit status, the report's lines and the JSON report.

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/Commands.hpp"
#include "host/DestinationChooser.hpp"
#include "host/FileOutcomes.hpp"
#include "host/ProgressDisplay.hpp"

namespace galvoria::host {

// The plugin's message for a task whose every file was published.
inline constexpr std::string_view completedMessage = "Publishing completed!";

// What became of one task: how it ended, the plugin's result and error, and each file's fate.
struct TaskOutcome {
    // outputClosed: the reader of the output went away, so the publish stopped after the file in flight.
    enum class Kind { completed, partial, failed, interrupted, cancelled, outputClosed } kind = Kind::failed;
    co::PublishResultPtr result;
    co::Error error;
    std::vector<FileOutcome> files;  // every file of the task, in order
    // The text before the list of files left out, when the plugin's text had one ("Published 1
    // of 3 files. Not published:").
    std::optional<std::string> failureHeadline;

    [[nodiscard]] std::vector<std::string> named(std::initializer_list<FileStatus> statuses) const {
        std::vector<std::string> names;
        for (const auto& file : files) {
            if (std::find(statuses.begin(), statuses.end(), file.status) != statuses.end()) {
                names.push_back(file.name);
            }
        }
        return names;
    }
    // The files the plugin went through, whatever became of them.
    [[nodiscard]] std::vector<std::string> processed() const {
        return named({FileStatus::published, FileStatus::notPublished, FileStatus::sent});
    }
    // Some file is in the project, or may be: the plugin did not say otherwise.
    [[nodiscard]] bool anyArrived() const { return !named({FileStatus::published, FileStatus::sent}).empty(); }
};

// Runs the task, showing its progress; Ctrl-C stops it after the file being sent.
TaskOutcome runTask(PluginSession& session, const co::TaskPtr& task, const PublishOptions& options);

// The task's files as the progress shows them; `outcome` gets each of them, not sent yet.
std::vector<PublishedFile> taskFiles(const co::TaskPtr& task, TaskOutcome& outcome);
// How the task ended once the plugin's publish returned (its result and error are in `outcome`):
// stopped by an interrupt or by a closed output, else as the plugin answered; then each file's fate.
// `processed`: how many files the plugin reported done.
void concludeTask(TaskOutcome& outcome, bool interrupted, bool outputGone, std::uint64_t processed);

// What the plugin notes in the store when a publish creates a folder or a project: the values
// before the task, and the identifiers of what it created once it ran (a value that did not change
// was not created now).
class CreationWatch {
public:
    struct Created {
        std::optional<std::string> folder;
        std::optional<std::string> project;
    };

    CreationWatch();
    // What the store notes now that differs from before; one read of the store.
    [[nodiscard]] Created created() const;

private:
    std::optional<std::string> folderBefore_;
    std::optional<std::string> projectBefore_;
};
int exitStatusOf(TaskOutcome::Kind kind);
// The ending's name in the JSON report: "completed", "partial", "failed", "interrupted", "cancelled",
// "outputClosed".
std::string_view kindName(TaskOutcome::Kind kind);
// The outcome's lines; with `json` they go to standard error, as standard output carries only the
// document.
void reportOutcome(const TaskOutcome& outcome, const Destination& destination, bool json);
co::Value outcomeJson(const TaskOutcome& outcome, const Destination& destination);

}  // namespace galvoria::host
