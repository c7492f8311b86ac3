#include "publishing/PublishingTask.hpp"

#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "publishing/UploadPipeline.hpp"
#include "vocabulary/DestinationChoice.hpp"
#include "vocabulary/PublishAction.hpp"
#include "vocabulary/VelbrookError.hpp"

namespace galvoria::publishing {
namespace {

// The identifier a creation answered with; no value when nothing usable was created.
std::optional<std::string> createdId(const std::map<std::string, std::string>& result) {
    const auto found = result.find("id");
    if (found == result.end() || found->second.empty()) {
        return std::nullopt;
    }
    return found->second;
}

// Works out the project the files go to, creating a new folder and project first when the options
// ask for them. No value after a failure, which is then in `error`.
std::optional<std::string> resolveProject(const Network& client, Preferences& preferences, const co::Value& settings,
                                          co::ErrorOut error) {
    if (!settings.is_object() || settings.empty()) {
        VelbrookError::invalidAction().report(error);
        return std::nullopt;
    }
    const DestinationChoice choice = DestinationChoice::fromOptions(settings);
    if (!choice.workspaceId) {
        VelbrookError::invalidAction().report(error);
        return std::nullopt;
    }
    std::string folderId = choice.folder.value;
    if (choice.folder.createsNew()) {
        // Without the new folder's identifier the project would land elsewhere: stop before it.
        const auto created = createdId(client.createFolder(choice.folder.newName, *choice.workspaceId));
        if (!created) {
            VelbrookError::standardMessage("Creating folder failed", "The folder \"" + choice.folder.newName +
                                                                         "\" could not be created on galvoria.")
                .report(error);
            return std::nullopt;
        }
        folderId = *created;
        preferences.setLastCreatedFolder(folderId);
    }
    if (!choice.project.createsNew()) {
        return choice.project.value;
    }
    auto created = createdId(client.createProject(choice.project.newName, folderId, *choice.workspaceId));
    if (!created) {
        VelbrookError::standardMessage("Creating project failed", "The project \"" + choice.project.newName +
                                                                      "\" could not be created on galvoria.")
            .report(error);
        return std::nullopt;
    }
    preferences.setLastCreatedProject(*created);
    return created;
}

// A file that was not published, and why.
struct FailedFile {
    std::string name;
    std::string reason;
};

// The failed files in task order, each as "name (reason)", separated by ", ". A host reads the list
// back by the names it passed, so the form is fixed: reasons never hold parentheses.
std::string failedList(const std::vector<FailedFile>& failed) {
    std::string text;
    for (const auto& file : failed) {
        if (!text.empty()) {
            text += ", ";
        }
        text += file.name + " (" + file.reason + ")";
    }
    return text;
}

// Hands the host its progress report on the main queue, without waiting for it.
void postProgress(const co::ProgressBlock& progress, const co::TaskPtr& task, std::uint64_t completed,
                  std::uint64_t total, std::string message) {
    if (!progress) {
        return;
    }
    platform::MainQueue::shared().async([progress, task, completed, total, message = std::move(message)] {
        try {
            progress(task, completed, total, message);
        } catch (...) {  // NOLINT(bugprone-empty-catch): the host's block must not end the main queue
        }
    });
}

}  // namespace

co::PublishResultPtr startPublishingTask(const Network& client, Preferences& preferences, const co::TaskPtr& task,
                                         co::ErrorOut error, const co::ProgressBlock& progress) {
    if (!task || !isPublishAction(task->action())) {
        VelbrookError::invalidAction().report(error);
        return nullptr;
    }
    if (!task->files()) {
        VelbrookError::invalidTaskFiles().report(error);
        return nullptr;
    }
    const std::vector<std::string>& files = *task->files();
    const std::uint64_t total = files.size();

    std::string projectId;
    if (const auto& settings = task->settings()) {
        auto resolved = resolveProject(client, preferences, *settings, error);
        if (!resolved) {
            return nullptr;
        }
        projectId = std::move(*resolved);
    }

    const UploadContext context{client, preferences};
    std::vector<FailedFile> notPublished;
    for (std::uint64_t processed = 0; processed < total;) {
        if (task->cancelled()) {
            return std::make_shared<co::COPluginActionPublishResult>();
        }
        const std::string name = lastPathComponent(files[processed]);
        const UploadOutcome outcome = uploadFile(context, files, processed, projectId);
        if (!outcome.published) {
            platform::log::format("Not published: %@ (%@)", {name, outcome.reason});
            notPublished.push_back({name, outcome.reason});
        }
        ++processed;
        postProgress(progress, task, processed, total,
                     "Publishing " + name + " (" + std::to_string(processed) + " of " + std::to_string(total) + ")");
    }

    std::string url = client.baseURL() + "/project/" + projectId + "/library";
    if (notPublished.empty()) {
        return std::make_shared<co::COPluginActionPublishResult>(std::move(url), "Publishing completed!");
    }
    if (notPublished.size() == total) {
        const std::string reason =
            (total == 1 ? "The file could not be published: "
                        : "None of the " + std::to_string(total) + " files could be published: ") +
            failedList(notPublished) + ".";
        VelbrookError::standardMessage("Publishing failed", reason).report(error);
        return nullptr;
    }
    return std::make_shared<co::COPluginActionPublishResult>(
        std::move(url), "Published " + std::to_string(total - notPublished.size()) + " of " + std::to_string(total) +
                            " files. Not published: " + failedList(notPublished) + ".");
}

}  // namespace galvoria::publishing
